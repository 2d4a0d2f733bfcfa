"""Frames of the show drawn by the Direct3D 11 layer under Wine against the frames
the OpenGL layer of the Linux build draws.

The Windows build of the frame tool (tests/tools/render_frame.cpp) draws moments
in every scene in one process (Wine's HLSL compiler needs about ten seconds of CPU
for the demo shader), with the twenty textures the Linux build made, read from files, and
a trilinear scene sampler: so what is compared is the shader's compilation, the
GPU layer's binding of textures, constants and samplers, its row order and its
channel order, not the 2D layers (tests/windows/test_textures_across_platforms.cpp
compares those) nor the two GPUs' choices of anisotropic footprints. Each moment
may have at most 0.01 % of its pixels more than 8 levels apart in any channel and
needs a PSNR of at least 45 dB; the figures of every moment are printed.

The moments keep away from the verses' glitches, whose random choices a last-bit
difference between the two compilers can turn (the tearing at 26 s, a flicker at
39 s).

The Linux frames and textures are made on the build machine before the Windows
tests run, where the Linux build's libraries are (scripts/test-windows):
    python3 tests/windows/e2e_frames_under_wine.py reference build/tests/render_frame DIR
writes DIR/textures/<name>.tex, DIR/frames/<time>.png and DIR/render_frame.txt.
Run as a test it reads VELK_LINUX_REFERENCE (that DIR) and runs VELK_WINDOWS_RENDER_FRAME
under Wine; the Windows frames stay in VELK_WINDOWS_BINARY_DIR/frames-under-wine.
"""
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from velk_e2e import SkipTest, run_tests  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WIDTH, HEIGHT = 960, 540
# (seconds, what is on screen)
MOMENTS = [
    (3.5, "scene 1: the logo fading in"),
    (7.0, "scene 1: the title stamped on the logo"),
    (12.0, "scene 2: the logo shrinking among its first rings"),
    (17.5, "scene 2: rotozoomer with the first verse"),
    (30.0, "scene 2: skewed rotozoomer with the third verse"),
    (40.9, "scene 2: the distorted plane fading out"),
    (44.0, "scene 3: the first portrait"),
    (50.0, "scene 3: three portraits with captions"),
    (58.0, "scene 3: the second portrait left, captions fading"),
    (64.0, "scene 4: the tunnel opening"),
    (75.0, "scene 4: tunnels in the walls and metaballs"),
    (95.0, "scene 5: plasma with the scroll text"),
    (115.0, "scene 5: plasma with the rising and falling texts"),
    (132.0, "scene 6: Velkt and the credits"),
    (137.0, "scene 6: the picture"),
    (140.0, "scene 6: the final fade"),
]
MAX_FAR_SHARE = 0.0001  # of the pixels
FAR = 8  # levels
MIN_PSNR = 45.0  # dB


def frame_name(seconds):
    return "%.3f.png" % seconds


def frame_args(seconds_and_paths):
    args = []
    for i, (seconds, path) in enumerate(seconds_and_paths):
        args += [repr(seconds), str(WIDTH), str(HEIGHT), path] if i == 0 else [repr(seconds), path]
    return args


def reference(render_frame, out):
    """The Linux frames and textures, made on the build machine."""
    started = time.monotonic()
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "textures"))
    os.makedirs(os.path.join(out, "frames"))
    frames = [(s, os.path.join(out, "frames", frame_name(s))) for s, _ in MOMENTS]
    r = subprocess.run([render_frame, "--trilinear", "--textures-to", os.path.join(out, "textures"), SOURCE,
                        *frame_args(frames)], capture_output=True, text=True, timeout=600)
    if r.returncode != 0:
        sys.exit("render_frame failed (exit status %d):\n%s" % (r.returncode, r.stderr))
    with open(os.path.join(out, "render_frame.txt"), "w") as f:
        f.write(r.stdout)
    size = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(out) for n in names)
    print("test-windows: Linux reference frames and textures in %s: %.1f s, %.0f MB"
          % (out, time.monotonic() - started, size / 1e6))


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_png(path):
    """Width, height and RGB bytes of a PNG as the frame tool writes it (8-bit RGB,
    no filters)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    i, idat = 8, b""
    while i < len(data):
        n, kind = struct.unpack(">I4s", data[i:i + 8])
        body = data[i + 8:i + 8 + n]
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 2), path
        elif kind == b"IDAT":
            idat += body
        i += 12 + n
    raw = zlib.decompress(idat)
    row = 3 * w
    assert len(raw) == h * (row + 1) and all(raw[y * (row + 1)] == 0 for y in range(h)), path
    return w, h, b"".join(raw[y * (row + 1) + 1:(y + 1) * (row + 1)] for y in range(h))


def compare(a, b):
    """Largest difference of a channel, share of pixels with a channel more than FAR
    levels apart, PSNR over all channels in dB (infinite for equal frames)."""
    d = [abs(x - y) for x, y in zip(a, b)]
    squares = sum(v * v for v in d)
    far = sum(1 for i in range(0, len(d), 3) if max(d[i], d[i + 1], d[i + 2]) > FAR)
    psnr = math.inf if squares == 0 else 10 * math.log10(255 * 255 * len(d) / squares)
    return max(d), far / (len(d) // 3), psnr


def test_frames_match_the_linux_frames():
    if not os.environ.get("DISPLAY"):
        raise SkipTest("no X display")
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    major = re.match(r"wine-(\d+)", version)
    if major and int(major.group(1)) < 10:
        raise SkipTest("%s: its HLSL compiler refuses the demo shader" % version)
    ref = os.environ["VELK_LINUX_REFERENCE"]
    if not os.path.isfile(os.path.join(ref, "render_frame.txt")):
        raise AssertionError("no Linux reference frames in %s: scripts/test-windows makes them with "
                             "tests/windows/e2e_frames_under_wine.py reference" % ref)
    out = os.path.join(os.environ["VELK_WINDOWS_BINARY_DIR"], "frames-under-wine")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    frames = [(s, os.path.join(out, frame_name(s))) for s, _ in MOMENTS]
    started = time.monotonic()
    # Wine's default renderer (OpenGL) draws the demo shader as flat colour; its
    # Vulkan renderer on Mesa's software driver draws it.
    env = dict(os.environ, WINE_D3D_CONFIG="renderer=vulkan")
    r = subprocess.run(["wine", os.environ["VELK_WINDOWS_RENDER_FRAME"], "--trilinear", "--textures-from",
                        wine_path(os.path.join(ref, "textures")), wine_path(SOURCE),
                        *frame_args([(s, wine_path(p)) for s, p in frames])],
                       capture_output=True, timeout=1200, stdin=subprocess.DEVNULL, env=env)
    stdout = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    print("render_frame.exe: exit status %d, %.1f s for the shader and %d frames of %dx%d" %
          (r.returncode, time.monotonic() - started, len(frames), WIDTH, HEIGHT))
    assert r.returncode == 0, stdout + r.stderr.decode("utf-8", "replace")

    # The same textures give the same sizes, so the same end of the show.
    with open(os.path.join(ref, "render_frame.txt")) as f:
        linux = f.read()
    times = re.compile(r"^end .*$", re.M)
    assert times.search(stdout) and times.search(stdout).group(0) == times.search(linux).group(0), (stdout, linux)

    print("%8s %5s %9s %9s  %s" % ("time", "max", "> %d" % FAR, "PSNR", "moment"))
    failures = []
    for (seconds, what), (_, path) in zip(MOMENTS, frames):
        w, h, windows = read_png(path)
        lw, lh, linux_frame = read_png(os.path.join(ref, "frames", frame_name(seconds)))
        assert (w, h) == (lw, lh) == (WIDTH, HEIGHT), path
        largest, far, psnr = compare(windows, linux_frame)
        print("%8.3f %5d %8.4f%% %6.2f dB  %s" % (seconds, largest, 100 * far, psnr, what))
        if far > MAX_FAR_SHARE or psnr < MIN_PSNR:
            failures.append(seconds)
    assert not failures, "frames unlike the Linux ones at %s s (Windows frames in %s)" % (failures, out)


if __name__ == "__main__":
    if sys.argv[1:2] == ["reference"] and len(sys.argv) == 4:
        reference(sys.argv[2], sys.argv[3])
    else:
        run_tests([test_frames_match_the_linux_frames])
