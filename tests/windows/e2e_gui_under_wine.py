"""The Windows window and setup dialog driven through the X server under Wine, the
way a user's keyboard reaches them: the probes print what the program saw, and the
dialog's picture is kept as wine-setup-dialog.png in the build folder."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from velk_e2e import SkipTest, run_tests  # noqa: E402

BINARY = os.environ["VELK_WINDOWS_BINARY_DIR"]
TOOLS = os.path.join(BINARY, "tests")
# The Linux build's tool that sends a window the close request a window manager sends.
CLOSE = os.path.join(os.path.dirname(__file__), "..", "..", "build", "tests", "x_close_request")


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True)


def wait_for_window(name, timeout=60):
    end = time.time() + timeout
    while time.time() < end:
        r = xdotool("search", "--onlyvisible", "--name", f"^{name}$")
        if r.returncode == 0 and r.stdout.strip():
            return r.stdout.split()[0]
        time.sleep(0.2)
    return None


def probe(tool, *args, keys=(), shot=None, close=False):
    if not os.environ.get("DISPLAY"):
        raise SkipTest("no X display")
    p = subprocess.Popen(["wine", os.path.join(TOOLS, tool + ".exe"), *args], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    try:
        wid = wait_for_window("tovelmark velk")
        assert wid, "no window"
        time.sleep(0.7)
        xdotool("windowfocus", "--sync", wid)
        time.sleep(0.3)
        if shot:
            subprocess.run(["import", "-window", "root", shot], check=True)
        for k in keys:
            xdotool("key", k)
            time.sleep(0.3)
        if close:
            subprocess.run([CLOSE, wid], check=True)
        out, _ = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    assert p.returncode == 0, p.returncode
    assert xdotool("search", "--onlyvisible", "--name", "^tovelmark velk$").stdout.strip() == "", "window left"
    return out.replace("\r\n", "\n").strip().splitlines()


def test_dialog_keys():
    shot = os.path.join(BINARY, "wine-setup-dialog.png")
    assert probe("setup_dialog_probe", keys=["Return"], shot=shot) == ["1920 1080 fullscreen"]
    assert probe("setup_dialog_probe", keys=["Tab", "space", "Return"]) == ["1920 1080 windowed"]
    assert probe("setup_dialog_probe", keys=["Escape"]) == ["none"]
    # Alt+F4 from the check box (Wine's combo box swallows Alt+F4 while it has the focus).
    assert probe("setup_dialog_probe", keys=["Tab", "alt+F4"]) == ["none"]
    assert probe("setup_dialog_probe", keys=["Tab", "Tab", "Tab", "space"]) == ["none"]


def test_window_keys_and_alt_f4():
    assert probe("window_probe", keys=["a", "Escape"]) == ["size 1280 720", "key 65", "key 27", "destroyed",
                                                           "closed"]
    # Full screen at the screen's size; Alt+F4 closes it without queueing a key.
    assert probe("window_probe", "-f", keys=["alt+F4"]) == ["size 1920 1080", "destroyed", "closed"]


def test_close_requests():
    if not os.path.exists(CLOSE):
        raise SkipTest("no x_close_request: build the Linux tree first")
    assert probe("setup_dialog_probe", close=True) == ["none"]
    assert probe("window_probe", close=True) == ["size 1280 720", "destroyed", "closed"]


run_tests([test_dialog_keys, test_window_keys_and_alt_f4, test_close_requests])
