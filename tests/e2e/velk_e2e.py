"""Shared helpers for the end-to-end tests: the built executable, temporary trees,
a private X display with optional screen size, screenshots and key presses."""
import os
import shutil
import subprocess
import tempfile
import time

EXE = os.environ.get("VELK_EXE", "")
SOURCE = os.environ.get("VELK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY = os.environ.get("VELK_BINARY_DIR", os.path.join(SOURCE, "build"))
FONT = os.path.join(SOURCE, "Artifacts", "Fonts", "velk_stencil", "VelkStencil.ttf")


class Display:
    """A private Xvfb server for one test (no window manager)."""

    def __init__(self, width=1920, height=1080):
        # The server picks a free display number itself and writes it to a pipe, so
        # tests running side by side never share a display.
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
                                      "-nolisten", "tcp"], pass_fds=(write_fd,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def env(self, **extra):
        e = dict(os.environ)
        e["DISPLAY"] = self.name
        e.update(extra)
        return e

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", path], check=True)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env(), capture_output=True, text=True)

    def wait_for_window(self, name, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            r = self.xdotool("search", "--name", f"^{name}$")
            if r.returncode == 0 and r.stdout.strip():
                return r.stdout.split()[0]
            time.sleep(0.2)
        return None

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            self.proc = None

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


def temp_dir():
    return tempfile.mkdtemp(prefix="velk-e2e-")


def source_tree():
    """A development source tree with the executable, the real font and pictures (the
    texture table reads them at start-up) and an empty Shaders folder; no soundtrack."""
    tree = temp_dir()
    open(os.path.join(tree, "tovelmark-velk.root"), "w").close()
    os.makedirs(os.path.join(tree, "Shaders"))
    for folder in ("Artifacts/Fonts/velk_stencil", "Artifacts/Graphics"):
        shutil.copytree(os.path.join(SOURCE, folder), os.path.join(tree, folder))
    exe = os.path.join(tree, "tovelmark-velk")
    shutil.copy2(EXE, exe)
    return tree, exe


def save_by_rename(path, text, stamp):
    """Writes a file whole and with its time at once, as an editor saving by rename
    does: a running program never sees a half-written file or an in-between time."""
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.utime(tmp, (stamp, stamp))
    os.replace(tmp, path)


def outside_copy():
    """The executable copied into a directory with no project marker above it."""
    d = temp_dir()
    exe = os.path.join(d, "tovelmark-velk")
    shutil.copy2(EXE, exe)
    return d, exe


def pixel(png, x, y):
    """(r, g, b) of one pixel of an image file, read with ImageMagick."""
    out = subprocess.run(["convert", png, "-format", f"%[pixel:p{{{x},{y}}}]", "info:-"],
                         capture_output=True, text=True, check=True).stdout.strip()
    # srgb(r,g,b) or a colour name; ask for numbers explicitly.
    out = subprocess.run(["convert", png, "-crop", f"1x1+{x}+{y}", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True).stdout
    return tuple(out[:3])


class Frame:
    """An RGB picture read back from a file, 8 bits per channel, rows top first."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.rgb[i:i + 3])

    def pixels(self):
        return (tuple(self.rgb[i:i + 3]) for i in range(0, len(self.rgb), 3))

    def spot(self, px, py):
        """The pixel at a point p in screen heights (centred, y downwards)."""
        return self.at(round(px * self.height + self.width / 2 - 0.5), round(py * self.height + self.height / 2 - 0.5))


def near(a, b, tolerance):
    """True when every channel of a is within tolerance of b."""
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def run_tests(cases):
    """Runs test functions, prints one line each and a closing count; exits non-zero on failure."""
    import sys
    import traceback
    passed = failed = skipped = 0
    for case in cases:
        try:
            case()
            print(f"PASS {case.__name__}")
            passed += 1
        except SkipTest as s:
            print(f"SKIP {case.__name__}: {s}")
            skipped += 1
        except Exception:
            print(f"FAIL {case.__name__}")
            traceback.print_exc()
            failed += 1
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    sys.exit(1 if failed else 0)


class SkipTest(Exception):
    pass
