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


def dialog_on_screen(display, env, *keys):
    """Shows the probe's dialog with extra environment, presses the keys, and
    returns its (x, y, width, height) in screen pixels and a screenshot's path;
    the dialog is then quit with Escape."""
    p = subprocess.Popen([PROBE], env=display.env(**env), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wid = display.wait_for_window("tovelmark velk", timeout=60)
        assert wid, "no dialog"
        time.sleep(0.5)
        display.xdotool("windowfocus", "--sync", wid)
        for k in keys:
            display.xdotool("key", k)
            time.sleep(0.2)
        time.sleep(0.3)
        shot = os.path.join(BINARY, "e2e-setup-dialog-%s.png" % "-".join("%s%s" % kv for kv in env.items()))
        display.screenshot(shot)
        geometry = display.xdotool("getwindowgeometry", "--shell", wid).stdout
        g = dict(line.split("=", 1) for line in geometry.split())
        display.xdotool("key", "Escape")
        out, err = p.communicate(timeout=60)
        assert out.strip() == "none", (out, err)
        return (int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])), shot
    finally:
        if p.poll() is None:
            p.kill()


# Scales as a GTK desktop sets them: a whole-number window scale (GDK_SCALE), or a
# text resolution of 120 dpi (GDK_DPI_SCALE 1.25; Xft.dpi 120 reads the same),
# which the dialog lays out at R(1.25 x ...) like any 120-dpi screen.
SCALES = (({}, 1, (340, 220)),
          ({"GDK_DPI_SCALE": "1.25"}, 1, (425, 275)),
          ({"GDK_SCALE": "2"}, 2, (680, 440)))


def test_centred_with_a_focus_rectangle_3_pixels_inside_at_every_scale():
    require_font()
    with Display(1920, 1080) as d:
        for env, device, (w, h) in SCALES:
            # Tab twice: from the combo box over the check box to Start.
            (x, y, width, height), shot = dialog_on_screen(d, env, "Tab", "Tab")
            assert (width, height) == (w, h), (env, width, height)
            assert (x, y) == ((1920 - w) // 2, (1080 - h) // 2), (env, x, y)
            # Start's frame and its focus rectangle along the left and top edges:
            # dots in the 4th pixel column and row, nothing in the 2nd and 3rd.
            s = w / 340
            left, top = x + round(130 * s), y + round(172 * s)
            bw, bh = round(90 * s), round(30 * s)
            rgb = subprocess.run(["convert", shot, "-crop", f"{bw}x{bh}+{left}+{top}", "-depth", "8", "rgb:-"],
                                 capture_output=True, check=True).stdout

            def light(px, py):  # lighter than the button's fill (37, 24, 13): frame or focus dots
                i = 3 * (py * bw + px)
                return max(rgb[i:i + 3]) > 60

            middle = range(bh // 3, 2 * bh // 3)
            centre = range(bw // 3, 2 * bw // 3)
            assert all(light(0, py) for py in middle), (env, "no frame on Start's left edge")
            for inset, dotted in ((1, False), (2, False), (3, True)):
                column = sum(light(inset, py) for py in middle)
                row = sum(light(px, inset) for px in centre)
                assert (column > 2 and row > 2 if dotted else column == row == 0), \
                    (env, "focus rectangle at inset %d: %d, %d light pixels" % (inset, column, row))


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


run_tests([test_enter_and_check_box, test_centred_with_a_focus_rectangle_3_pixels_inside_at_every_scale,
           test_every_way_of_quitting_returns_none,
           test_quitting_the_programs_dialog_exits_0_without_a_window])
