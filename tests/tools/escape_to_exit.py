#!/usr/bin/env python3
"""Escape-to-exit time of the real executable: escape_to_exit.py [options] LABEL=EXE[,VAR=VALUE...] ...

Starts the demo windowed (-w) on a private Xvfb server with OpenAL's null device,
waits for its first frame on screen (the window's first picture that is not all
black), then for a moment, presses Escape with xdotool and times from the key to
the process's exit. Each moment is measured on a first run (an empty Mesa shader cache
of its own) and warm (a cache that one run of --prime seconds filled beforehand, so
that it holds every program the show compiles ahead).
The executables are taken in turn at every sample, so that a machine whose load
drifts slows them alike. Prints one line per executable and cache state: the
median and the longest time, and each sample."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from velk_e2e import Display  # noqa: E402


def parse_variant(text):
    label, _, rest = text.partition("=")
    exe, *assignments = rest.split(",")
    env = dict(a.split("=", 1) for a in assignments)
    return label, exe, env


def escape_once(display, exe, env, cache, moment, timeout=180):
    """Seconds from Escape to the process's exit, or None when the demo did not start."""
    e = display.env(ALSOFT_DRIVERS="null", MESA_SHADER_CACHE_DIR=cache, **env)
    p = subprocess.Popen([exe, "-w"], env=e, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    loaded = threading.Event()

    def watch():
        for line in p.stdout:
            if "] Loaded " in line:
                loaded.set()

    threading.Thread(target=watch, daemon=True).start()
    if not loaded.wait(timeout):
        p.kill()
        p.wait()
        return None
    wid = display.wait_for_window("tovelmark velk", timeout=timeout)
    end = time.monotonic() + timeout
    while time.monotonic() < end and p.poll() is None:
        shown = subprocess.run(["import", "-display", display.name, "-window", wid, "-format", "%[fx:maxima]",
                                "info:"], capture_output=True, text=True).stdout.strip()
        if shown and float(shown) > 0:
            break
    time.sleep(moment)
    display.xdotool("key", "--window", wid, "Escape")
    pressed = time.monotonic()
    try:
        p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return float("inf")
    return time.monotonic() - pressed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--moments", default="0,0.5,1,2,3", help="seconds after the first frame, comma-separated")
    parser.add_argument("--samples", type=int, default=1, help="samples per moment and cache state")
    parser.add_argument("--prime", type=float, default=30, help="seconds the run that fills the warm cache plays")
    parser.add_argument("variants", nargs="+", help="LABEL=EXE[,VAR=VALUE...]")
    args = parser.parse_args()
    variants = [parse_variant(v) for v in args.variants]
    moments = [float(m) for m in args.moments.split(",")]
    root = tempfile.mkdtemp(prefix="velk-escape-")
    times = {(label, state): [] for label, _, _ in variants for state in ("first run", "warm")}
    try:
        with Display(1920, 1080) as d:
            warm = {label: os.path.join(root, f"{label}-warm") for label, _, _ in variants}
            for label, exe, env in variants:
                escape_once(d, exe, env, warm[label], args.prime)
            for sample in range(args.samples):
                for moment in moments:
                    for label, exe, env in variants:
                        cache = os.path.join(root, f"{label}-{sample}-{moment}")
                        times[(label, "first run")].append((moment, escape_once(d, exe, env, cache, moment)))
                        times[(label, "warm")].append((moment, escape_once(d, exe, env, warm[label], moment)))
                        shutil.rmtree(cache, ignore_errors=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for (label, state), samples in times.items():
        values = sorted(t for _, t in samples if t is not None)
        if not values:
            print(f"  {label:12} {state:9}: did not start")
            continue
        each = " ".join(f"{m:g}s:{'-' if t is None else f'{t:.2f}'}" for m, t in samples)
        print(f"  {label:12} {state:9}: median {values[len(values) // 2]:.2f} s, longest {values[-1]:.2f} s "
              f"(Escape at {each})")
        sys.stdout.flush()


main()
