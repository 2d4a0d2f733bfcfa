"""The soundtrack in interactive playback: -w decodes it, prints its "Music: " line
and plays it on OpenAL's null device until Escape; without an audio device the
program ends with the reason; without a soundtrack it runs on its own stopwatch."""
import os
import random
import re
import shutil
import subprocess
import time

from velk_e2e import EXE, FONT, SOURCE, Display, SkipTest, run_tests, temp_dir

MUSIC_LINE = re.compile(r"^Music: velksmör\.mp3, \d+\.\d s, 48000 Hz, 2 channels$", re.M)


def require_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")


def run_until_escape(display, exe, **env):
    p = subprocess.Popen([exe, "-w"], env=display.env(**env), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
    wid = display.wait_for_window("tovelmark velk", timeout=120)
    if wid:
        time.sleep(1.5)
        display.xdotool("windowfocus", "--sync", wid)
        display.xdotool("key", "--window", wid, "Escape")
    out, err = p.communicate(timeout=120)
    assert wid, ("no window", p.returncode, err)
    return p.returncode, out, err


def test_windowed_plays_the_soundtrack():
    require_font()
    with Display(1920, 1080) as d:
        rc, out, err = run_until_escape(d, EXE, ALSOFT_DRIVERS="null")
    assert rc == 0, (rc, err)
    assert MUSIC_LINE.search(out), out
    assert out.count("Music: ") == 1, out


def test_no_audio_device_ends_with_the_reason():
    require_font()
    with Display(1920, 1080) as d:
        p = subprocess.run([EXE, "-w"], env=d.env(ALSOFT_DRIVERS="no-such-driver"), capture_output=True, text=True,
                           timeout=120)
    assert p.returncode == 1, (p.returncode, p.stderr)
    assert p.stderr.startswith("COMException: alcOpenDevice failed: 0x80004005: "), p.stderr
    assert "Music: " not in p.stdout, p.stdout


def tree_with_soundtrack(data):
    """A development tree like the source tree whose only soundtrack holds `data`."""
    root = temp_dir()
    open(os.path.join(root, "tovelmark-velk.root"), "w").close()
    os.symlink(os.path.join(SOURCE, "Shaders"), os.path.join(root, "Shaders"))
    os.makedirs(os.path.join(root, "Artifacts", "Audio"))
    for name in os.listdir(os.path.join(SOURCE, "Artifacts")):
        if name != "Audio":
            os.symlink(os.path.join(SOURCE, "Artifacts", name), os.path.join(root, "Artifacts", name))
    with open(os.path.join(root, "Artifacts", "Audio", "velksmör.mp3"), "wb") as f:
        f.write(data)
    exe = os.path.join(root, "tovelmark-velk")
    shutil.copy2(EXE, exe)
    return root, exe


def test_a_damaged_soundtrack_ends_with_its_reason():
    # Each damage ends the start-up with one "Kind: message" line on standard error
    # and status 1, in playback and in recording alike.
    require_font()
    with open(os.path.join(SOURCE, "Artifacts", "Audio", "velksmör.mp3"), "rb") as f:
        good = f.read()
    middle = len(good) // 2
    cases = {
        "cut to 1000 bytes": good[:1000],
        "empty": b"",
        "random bytes": random.Random(7).randbytes(300000),
        "its ID3 tag only": good[:good.index(b"\xff\xfb")],
        "a 64 KiB hole in the middle": good[:middle] + bytes(65536) + good[middle:],
    }
    with Display(1920, 1080) as d:
        for name, data in cases.items():
            root, exe = tree_with_soundtrack(data)
            try:
                for args in (["-w"], ["--record", os.path.join(root, "out.mp4"), "--size", "64x36"]):
                    p = subprocess.run([exe, *args], env=d.env(ALSOFT_DRIVERS="null"), capture_output=True,
                                       text=True, timeout=120)
                    assert p.returncode == 1, (name, args, p.returncode, p.stderr)
                    assert re.fullmatch(r"COMException: mpg123_read failed: 0x[0-9A-F]{8}: [^\n]+\n", p.stderr), \
                        (name, args, p.stderr)
                    assert "Music: " not in p.stdout, (name, p.stdout)
            finally:
                shutil.rmtree(root)


def test_without_a_soundtrack_the_stopwatch_runs():
    require_font()
    # A development tree like the source tree but without Artifacts/Audio.
    root = temp_dir()
    try:
        open(os.path.join(root, "tovelmark-velk.root"), "w").close()
        for name in os.listdir(SOURCE):
            if name in ("Shaders",):
                os.symlink(os.path.join(SOURCE, name), os.path.join(root, name))
        os.makedirs(os.path.join(root, "Artifacts"))
        for name in os.listdir(os.path.join(SOURCE, "Artifacts")):
            if name != "Audio":
                os.symlink(os.path.join(SOURCE, "Artifacts", name), os.path.join(root, "Artifacts", name))
        exe = os.path.join(root, "tovelmark-velk")
        shutil.copy2(EXE, exe)
        with Display(1920, 1080) as d:
            rc, out, err = run_until_escape(d, exe, ALSOFT_DRIVERS="no-such-driver")
        assert rc == 0, (rc, err)
        assert "Music: " not in out, out
    finally:
        shutil.rmtree(root)


run_tests([test_windowed_plays_the_soundtrack, test_no_audio_device_ends_with_the_reason,
           test_a_damaged_soundtrack_ends_with_its_reason, test_without_a_soundtrack_the_stopwatch_runs])
