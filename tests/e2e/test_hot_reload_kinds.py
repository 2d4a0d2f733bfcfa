"""Hot reload in the real executable from every kind of shader to every other: the
shipped shader (S), one without an end time (N), one without an end time or any
branch (P),
branches on the time (T), a branch on the time against a texture's size (Z) and one
that does not compile (F), saved over Shaders/demo.hlsl while the demo plays, in an
order that takes every ordered pair of kinds once. After each save the window must
show the new shader (the one before it after F), with the load's output lines, and
the process must live on; at the end a shader whose end time has passed must end
the show by itself."""
import os
import queue
import subprocess
import threading
import time

from velk_e2e import SOURCE, Display, run_tests, save_by_rename as save, source_tree

FIXTURES = os.path.join(SOURCE, "tests", "fixtures", "reload")
# Each small shader's colour once the show has run a quarter of a second.
COLOURS = {"N": (255, 0, 255), "P": (0, 255, 255), "T": (255, 255, 0), "Z": (0, 255, 0)}
FILES = {"S": os.path.join(SOURCE, "Shaders", "demo.hlsl"), "N": "no_end_time.hlsl", "P": "plain.hlsl",
         "T": "time_branches.hlsl", "Z": "size_branches.hlsl", "F": "broken.hlsl"}
# Every ordered pair of kinds once (self-saves included), starting from the shipped shader.
ORDER = "SSNSPSTSZSFNNPNTNZNFPPTPZPFTTZTFZZFFS"
WIDTH, HEIGHT = 1280, 720
PROBES = [(40, 30), (640, 360), (1240, 690)]
SETTLE = 2


def text(kind):
    with open(os.path.join(FIXTURES, FILES[kind])) as f:
        return f.read()


def probes(d):
    raw = subprocess.run(["import", "-display", d.name, "-window", "root", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True).stdout
    assert len(raw) == WIDTH * HEIGHT * 3, len(raw)
    return [tuple(raw[(y * WIDTH + x) * 3:(y * WIDTH + x) * 3 + 3]) for x, y in PROBES]


def lines(stream, into):
    for line in stream:
        into.put(line.rstrip("\n"))


def test_every_kind_of_shader_reloads_into_every_other():
    tree, exe = source_tree()
    shader = os.path.join(tree, "Shaders", "demo.hlsl")
    base = time.time() - 1000
    save(os.path.join(tree, "Shaders", "demo.hlsl.json"),
         open(os.path.join(SOURCE, "Shaders", "demo.hlsl.json")).read(), base)
    save(shader, text(ORDER[0]), base + 1)
    with Display(WIDTH, HEIGHT) as d:
        p = subprocess.Popen([exe, "-w"], env=d.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = queue.Queue(), queue.Queue()
        threading.Thread(target=lines, args=(p.stdout, out), daemon=True).start()
        threading.Thread(target=lines, args=(p.stderr, err), daemon=True).start()
        seen_out, seen_err = [], []

        def wait_for(what, ready, timeout=120):
            end = time.time() + timeout
            while time.time() < end:
                for q, seen in ((out, seen_out), (err, seen_err)):
                    while not q.empty():
                        seen.append(q.get())
                assert p.poll() is None, (what, p.returncode, seen_err[-5:])
                got = ready()
                if got:
                    return got
                time.sleep(0.1)
            raise AssertionError((what, "timed out", seen_out[-3:], seen_err[-5:]))

        def loads():
            return sum(1 for l in seen_out if l.endswith("] Loaded demo.hlsl"))

        def errors():
            return sum(1 for l in seen_err if "error" in l)

        def shows(kind):
            pixels = probes(d)
            if kind in COLOURS:
                return all(px == COLOURS[kind] for px in pixels)
            # The shipped shader: none of the small shaders' colours.
            return not any(px in COLOURS.values() for px in pixels)

        wait_for("first load", lambda: loads() == 1)
        wait_for("first frame", lambda: shows(ORDER[0]))
        drawn = ORDER[0]
        for step in range(1, len(ORDER)):
            kind = ORDER[step]
            what = "%s to %s" % (ORDER[step - 1], kind)
            loaded_before, errors_before = loads(), errors()
            save(shader, text(kind), base + 1 + step)
            if kind == "F":
                # Both entry points fail; the shader before stays on screen.
                wait_for(what, lambda: errors() >= errors_before + 2)
                time.sleep(0.5)
            else:
                drawn = kind
                wait_for(what, lambda: loads() == loaded_before + 1)
                if kind in "NP":
                    assert errors() > errors_before, (what, seen_err[-3:])
            wait_for(what + ": picture", lambda: shows(drawn))
            if kind == "S":
                # Long enough for the worker threads to compile most of its variants
                # ahead: a swap away from it then deletes programs they have drawn.
                time.sleep(SETTLE)
        # A shader whose end time is long past ends the show by itself.
        save(shader, text("T").replace("9999, 9998", "0, 0"), base + 1 + len(ORDER))
        try:
            p.wait(timeout=120)
        except subprocess.TimeoutExpired:
            p.kill()
            raise AssertionError("the show did not end at the new shader's end time")
    assert p.returncode == 0, (p.returncode, seen_err[-5:])
    total_loads = 1 + sum(1 for k in ORDER[1:] if k != "F") + 1
    time.sleep(0.2)
    while not out.empty():
        seen_out.append(out.get())
    assert loads() == total_loads, (loads(), total_loads)


run_tests([test_every_kind_of_shader_reloads_into_every_other])
