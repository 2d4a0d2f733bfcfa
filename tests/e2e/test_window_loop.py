"""The demo window under a real X server: -w opens a 1280x720 client area, -f
covers the screen, Escape, closing the window and another program destroying it
end the program with status 0."""
import os
import subprocess
import time

from velk_e2e import EXE, FONT, BINARY, Display, SkipTest, run_tests


def geometry(display, wid):
    out = display.xdotool("getwindowgeometry", "--shell", wid).stdout
    vals = dict(line.split("=", 1) for line in out.split() if "=" in line)
    return int(vals["WIDTH"]), int(vals["HEIGHT"]), int(vals["X"]), int(vals["Y"])


def start(display, *args):
    return subprocess.Popen([EXE, *args], env=display.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def finish(proc, timeout=60):
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


def require_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")


def test_windowed_escape_ends_with_status_0():
    require_font()
    with Display(1920, 1080) as d:
        p = start(d, "-w")
        wid = d.wait_for_window("tovelmark velk", timeout=120)
        assert wid, "no window"
        time.sleep(1.0)
        w, h, _, _ = geometry(d, wid)
        assert (w, h) == (1280, 720), (w, h)
        d.screenshot(os.path.join(BINARY, "e2e-window-w.png"))
        d.xdotool("windowfocus", "--sync", wid)
        d.xdotool("key", "--window", wid, "Escape")
        rc, out, err = finish(p, timeout=120)
        assert rc == 0, (rc, err)


def test_fullscreen_covers_the_screen_and_close_ends_it():
    require_font()
    with Display(1024, 768) as d:
        p = start(d, "-f", "-w")
        wid = d.wait_for_window("tovelmark velk", timeout=120)
        assert wid, "no window"
        time.sleep(1.0)
        w, h, x, y = geometry(d, wid)
        assert (w, h, x, y) == (1024, 768, 0, 0), (w, h, x, y)
        # The window manager's close request (no window manager here: send it ourselves).
        subprocess.run([os.path.join(os.environ["VELK_TOOLS"], "x_close_request"), wid], env=d.env(), check=True)
        rc, out, err = finish(p, timeout=120)
        assert rc == 0, (rc, err)


def test_destroyed_window_ends_like_a_closed_one():
    # Another program destroys the window outright (XDestroyWindow) instead of
    # asking it to close: the demo ends as after a close, with nothing on stderr.
    # Once while the demo runs, and once as soon as the window shows, which often
    # is before the renderer has made its swap chain on it.
    require_font()
    for mode, settle in (("-w", 2.0), ("-f", 2.0), ("-f", 0.0)):
        with Display(1024, 768) as d:
            p = start(d, mode)
            wid = None
            end = time.time() + 120
            while not wid and time.time() < end and p.poll() is None:
                r = d.xdotool("search", "--name", "^tovelmark velk$")
                wid = r.stdout.split()[0] if r.returncode == 0 and r.stdout.strip() else None
                if not wid and settle:
                    time.sleep(0.2)
            assert wid, "no window"
            time.sleep(settle)
            d.xdotool("windowclose", wid)
            rc, out, err = finish(p, timeout=120)
            assert (rc, err) == (0, ""), (mode, settle, rc, err)


run_tests([test_windowed_escape_ends_with_status_0, test_fullscreen_covers_the_screen_and_close_ends_it,
           test_destroyed_window_ends_like_a_closed_one])
