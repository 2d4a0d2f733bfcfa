"""A recording that loses its terminal or its display: SIGHUP ends it as SIGTERM
does, with "Done." and a complete file; a display that goes away (the server ends,
or it kills the client) leaves a file with the frames encoded so far, one error
line naming the display, and status 1. Each test starts and ends its own X server."""
import json
import os
import re
import signal
import subprocess

from velk_e2e import EXE, FONT, Display, SkipTest, run_tests, temp_dir

LOST = re.compile(r"IOException: The connection to the display ':\d+' was lost \(the X server ended or closed "
                  r"the connection\)\n")


def need_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")


def video_frames(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-of", "json", path],
                         capture_output=True, text=True, check=True).stdout
    streams = json.loads(out)["streams"]
    assert [s["codec_name"] for s in streams] == ["h264", "aac"], streams
    return int(streams[0]["nb_read_frames"])


def record_until_ten_seconds(display, path):
    """A long recording, left running once its "10 s" progress line has come: by
    then frames 0 to 99 have been handed to the writer."""
    proc = subprocess.Popen([EXE, "--record", path, "--size", "160x90", "--fps", "10", "--length", "600"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=display.env(ALSOFT_DRIVERS="null"))
    lines = []
    while not lines or lines[-1] != "  10 s\n":
        line = proc.stdout.readline()
        if not line:
            proc.kill()
            raise AssertionError((lines, proc.stderr.read()))
        lines.append(line)
    return proc


def test_sighup_ends_a_recording_as_sigterm_does():
    need_font()
    for sig in (signal.SIGHUP, signal.SIGTERM):
        path = os.path.join(temp_dir(), "hup.mp4")
        with Display() as display:
            proc = record_until_ten_seconds(display, path)
            try:
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
        assert (proc.returncode, err) == (0, ""), (sig, proc.returncode, err)
        assert out.endswith("Done.\n"), (sig, out)
        assert 100 <= video_frames(path) < 6000, sig


def test_a_lost_display_completes_the_recording_and_names_the_loss():
    need_font()
    cases = {
        "the server ends": lambda display: display.proc.kill(),
        "the server kills the client": lambda display: subprocess.run(
            ["xkill", "-id", display.wait_for_window("tovelmark velk")], env=display.env(), capture_output=True,
            check=True),
    }
    for name, lose in cases.items():
        path = os.path.join(temp_dir(), "lost.mp4")
        with Display() as display:
            proc = record_until_ten_seconds(display, path)
            try:
                lose(display)
                out, err = proc.communicate(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
        assert proc.returncode == 1, (name, proc.returncode, err)
        assert LOST.fullmatch(err), (name, err)
        assert "Done." not in out, (name, out)
        # Every frame handed to the writer before the loss is in the file.
        assert 100 <= video_frames(path) < 6000, name


def test_a_lost_display_ends_playback_with_the_reason():
    need_font()
    with Display() as display:
        proc = subprocess.Popen([EXE, "-w"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=display.env(ALSOFT_DRIVERS="null"))
        try:
            line = ""
            while not line.startswith("Music: "):
                line = proc.stdout.readline()
                assert line, proc.stderr.read()
            assert display.wait_for_window("tovelmark velk"), "no window"
            display.proc.kill()
            out, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
    assert proc.returncode == 1, (proc.returncode, err)
    assert LOST.fullmatch(err), err


run_tests([test_sighup_ends_a_recording_as_sigterm_does, test_a_lost_display_completes_the_recording_and_names_the_loss,
           test_a_lost_display_ends_playback_with_the_reason])
