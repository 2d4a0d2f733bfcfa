"""The setup dialog on a real X server: Enter returns the pre-selected mode, the
check box makes it windowed, Escape and a close request return none, and quitting
the program's dialog ends it with status 0 before the demo window opens."""
import os
import subprocess
import time

from velk_e2e import BINARY, EXE, FONT, Display, SkipTest, run_tests

PROBE = os.path.join(os.environ.get("VELK_TOOLS", ""), "setup_dialog_probe")
CLOSE = os.path.join(os.environ.get("VELK_TOOLS", ""), "x_close_request")


def require_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")


def probe(display, *keys, close=False, shot=None):
    p = subprocess.Popen([PROBE], env=display.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wid = display.wait_for_window("tovelmark velk", timeout=60)
    assert wid, "no dialog"
    time.sleep(0.5)
    display.xdotool("windowfocus", "--sync", wid)
    if shot:
        display.screenshot(shot)
    for k in keys:
        display.xdotool("key", k)
        time.sleep(0.2)
    if close:
        subprocess.run([CLOSE, wid], env=display.env(), check=True)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    return out.strip()


def test_enter_and_check_box():
    require_font()
    with Display(1600, 900) as d:
        assert probe(d, "Return", shot=os.path.join(BINARY, "e2e-setup-dialog.png")) == "1600 900 fullscreen"
        assert probe(d, "Tab", "space", "Return") == "1600 900 windowed"


def test_every_way_of_quitting_returns_none():
    require_font()
    with Display(1600, 900) as d:
        assert probe(d, "Escape") == "none"
        assert probe(d, "alt+F4") == "none"
        assert probe(d, close=True) == "none"
        assert probe(d, "Tab", "Tab", "Tab", "space") == "none"  # Quit by keyboard focus


def test_quitting_the_programs_dialog_exits_0_without_a_window():
    require_font()
    with Display(1600, 900) as d:
        p = subprocess.Popen([EXE], env=d.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wid = d.wait_for_window("tovelmark velk", timeout=60)
        assert wid
        time.sleep(0.5)
        d.xdotool("windowfocus", "--sync", wid)
        d.xdotool("key", "Escape")
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err
        assert d.xdotool("search", "--name", "^tovelmark velk$").stdout.strip() == ""


run_tests([test_enter_and_check_box, test_every_way_of_quitting_returns_none,
           test_quitting_the_programs_dialog_exits_0_without_a_window])
