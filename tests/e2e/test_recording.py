"""Offline recording end to end: the real executable writes a video file, which
ffprobe and ffmpeg read back."""
import json
import os
import shutil
import subprocess
import time

from velk_e2e import EXE, FONT, SOURCE, Display, SkipTest, run_tests, temp_dir

KEY = (0x75, 0x4C, 0x29)  # the colour of the first frame


def need_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")


def record(display, *args, cwd=None, timeout=300):
    return subprocess.run([EXE, *args], capture_output=True, text=True, timeout=timeout, cwd=cwd,
                          env=display.env(ALSOFT_DRIVERS="null"))


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of", "json",
                          path], capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def frame_rgb(path, index, x, y):
    """RGB of one pixel of one decoded frame (BT.709, limited range to full)."""
    vf = (f"select=eq(n\\,{index}),scale=in_color_matrix=bt709:in_range=tv:out_range=pc,format=rgb24,"
          f"crop=1:1:{x}:{y}")
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf", vf, "-frames:v", "1", "-f", "rawvideo", "-"],
                         capture_output=True, check=True).stdout
    return tuple(out[:3])


def test_short_recording_has_both_streams():
    need_font()
    d = temp_dir()
    with Display() as display:
        r = record(display, "--record", "out.mp4", "--size", "320x180", "--fps", "30", "--length", "2", cwd=d)
    assert r.returncode == 0, r
    path = os.path.join(d, "out.mp4")
    lines = [l for l in r.stdout.splitlines() if not l.startswith(("Music: ", "["))]
    assert lines == [f"Recording 2 s at 320x180, 30 fps to {path}", "  0 s", "Done."], r.stdout
    info = probe(path)
    video, audio = info["streams"]
    assert video["codec_name"] == "h264"
    assert (video["width"], video["height"]) == (320, 180)
    assert video["avg_frame_rate"] == "30/1"
    assert video["nb_read_frames"] == "60"
    assert abs(float(video["duration"]) - 2.0) < 0.001, video["duration"]
    assert audio["codec_name"] == "aac"
    assert audio["sample_rate"] == "48000" and audio["channels"] == 2
    assert abs(float(audio["duration"]) - 2.0) < 0.03, audio["duration"]
    for x, y in ((160, 90), (2, 2), (317, 177)):
        rgb = frame_rgb(path, 0, x, y)
        assert all(abs(a - b) <= 2 for a, b in zip(rgb, KEY)), (x, y, rgb)


def test_tiny_recording_is_encoded():
    # 32 x 18 at 2 fps: an average bit rate far below 1 kbit/s.
    need_font()
    d = temp_dir()
    with Display() as display:
        r = record(display, "--record", "tiny.mp4", "--size", "32x18", "--fps", "2", "--length", "15", cwd=d)
    assert r.returncode == 0, r
    video, audio = probe(os.path.join(d, "tiny.mp4"))["streams"]
    assert (video["width"], video["height"], video["nb_read_frames"]) == (32, 18, "30"), video
    assert audio["codec_name"] == "aac"
    assert abs(float(audio["duration"]) - 15.0) < 0.03, audio["duration"]


def test_length_zero_records_no_frame():
    need_font()
    d = temp_dir()
    with Display() as display:
        r = record(display, "--record", "none.mp4", "--size", "64x64", "--length", "0", cwd=d)
    assert r.returncode == 0, r
    path = os.path.join(d, "none.mp4")
    lines = [l for l in r.stdout.splitlines() if not l.startswith(("Music: ", "["))]
    assert lines == [f"Recording 0 s at 64x64, 60 fps to {path}", "Done."], r.stdout
    info = probe(path)
    assert all(s.get("nb_read_frames", "0") == "0" for s in info["streams"]), info


def test_escape_or_a_destroyed_window_ends_the_recording_with_a_playable_file():
    # Escape, and another program destroying the preview window outright
    # (XDestroyWindow, not a close request): both stop early and finalise the file.
    need_font()
    for how, end in (("escape", lambda display, window: (display.xdotool("windowfocus", "--sync", window),
                                                         display.xdotool("key", "--window", window, "Escape"))),
                     ("destroyed", lambda display, window: display.xdotool("windowclose", window))):
        d = temp_dir()
        path = os.path.join(d, "cut.mp4")
        with Display() as display:
            proc = subprocess.Popen([EXE, "--record", path, "--size", "160x90", "--fps", "30", "--length", "600"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                    env=display.env(ALSOFT_DRIVERS="null"))
            try:
                window = display.wait_for_window("tovelmark velk")
                assert window, "no window"
                line = ""
                while not line.startswith("Recording "):
                    line = proc.stdout.readline()
                    assert line, proc.stderr.read()
                time.sleep(1.0)
                end(display, window)
                out, err = proc.communicate(timeout=60)
            finally:
                if proc.poll() is None:
                    proc.kill()
        assert (proc.returncode, err) == (0, ""), (how, proc.returncode, err)
        assert out.rstrip().endswith("Done."), (how, out)
        video = probe(path)["streams"][0]
        frames = int(video["nb_read_frames"])
        assert 2 <= frames < 600 * 30, (how, frames)


def test_without_a_soundtrack_the_file_has_video_only():
    need_font()
    # A source tree with every asset but the soundtrack.
    tree = temp_dir()
    open(os.path.join(tree, "tovelmark-velk.root"), "w").close()
    shutil.copytree(os.path.join(SOURCE, "Shaders"), os.path.join(tree, "Shaders"))
    for folder in ("Fonts", "Graphics"):
        shutil.copytree(os.path.join(SOURCE, "Artifacts", folder), os.path.join(tree, "Artifacts", folder))
    os.makedirs(os.path.join(tree, "Artifacts", "Audio"))
    exe = os.path.join(tree, "tovelmark-velk")
    shutil.copy2(EXE, exe)
    path = os.path.join(tree, "silent.mp4")
    with Display() as display:
        r = subprocess.run([exe, "--record", path, "--size", "64x36", "--fps", "20", "--length", "0.5"],
                           capture_output=True, text=True, timeout=300, env=display.env(ALSOFT_DRIVERS="null"))
    assert r.returncode == 0, r
    assert "Music: " not in r.stdout and r.stdout.rstrip().endswith("Done."), r.stdout
    streams = probe(path)["streams"]
    assert [s["codec_name"] for s in streams] == ["h264"], streams
    assert streams[0]["nb_read_frames"] == "10"


def test_malformed_size_is_an_error():
    need_font()
    d = temp_dir()
    with Display() as display:
        # Refused before the file is made, in the user's words.
        for size, error in (
                ("1280X720", "FormatException: The input string '1280X720' was not in a correct format."),
                ("-640x360", "ArgumentOutOfRangeException: The recording size '-640x360' needs a width and a "
                             "height of at least 1"),
                ("99999999x1", "COMException: CreateTexture2D failed: 0x80070057: size 99999999x1")):
            r = record(display, "--record", "bad.mp4", "--size", size, cwd=d)
            assert r.returncode == 1, r
            assert r.stderr.strip() == error, r.stderr
            assert "Recording" not in r.stdout
            assert not os.path.exists(os.path.join(d, "bad.mp4"))
        # Refused by the writer, before the file is touched: none is made, and an
        # earlier recording of that name is left as it was.
        kept = os.path.join(d, "keep.mp4")
        with open(kept, "wb") as f:
            f.write(b"an earlier recording")
        for name, args, error in (
                ("odd.mp4", ("--size", "321x181"), "H.264 needs an even width and height: 321x181"),
                ("keep.mp4", ("--size", "320x180", "--fps", "0"), "H.264 needs a positive frame rate: 0")):
            r = record(display, "--record", name, *args, "--length", "1", cwd=d)
            assert r.returncode == 1, r
            assert r.stderr.strip() == "COMException: AddStream failed: 0xC00D36B4: " + error, r.stderr
        assert not os.path.exists(os.path.join(d, "odd.mp4"))
        with open(kept, "rb") as f:
            assert f.read() == b"an earlier recording"


run_tests([test_short_recording_has_both_streams, test_tiny_recording_is_encoded, test_length_zero_records_no_frame,
           test_escape_or_a_destroyed_window_ends_the_recording_with_a_playable_file, test_without_a_soundtrack_the_file_has_video_only,
           test_malformed_size_is_an_error])
