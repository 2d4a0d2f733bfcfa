"""The executable in embedded mode (copied out of the tree) and in development mode
(inside a tree with the project marker)."""
import os
import shutil
import subprocess

from velk_e2e import EXE, FONT, SkipTest, outside_copy, run_tests, temp_dir


def test_development_mode_reads_the_tree():
    # A tree with the marker but no font: the first read names the on-disk file.
    tree = temp_dir()
    open(os.path.join(tree, "tovelmark-velk.root"), "w").close()
    os.makedirs(os.path.join(tree, "bin"))
    exe = os.path.join(tree, "bin", "tovelmark-velk")
    shutil.copy2(EXE, exe)
    r = subprocess.run([exe, "-w"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1, r
    expected = f"DirectoryNotFoundException: Could not find a part of the path '{tree}/Artifacts/Fonts/velk_stencil/VelkStencil.ttf'."
    assert r.stderr.strip() == expected, r.stderr


def test_embedded_mode_has_the_font():
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")
    d, exe = outside_copy()
    # Without a display the run gets past the font read and fails at the window.
    r = subprocess.run([exe, "-w"], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, DISPLAY=":9999", SDL_VIDEODRIVER="x11"))
    assert r.returncode == 1
    assert r.stderr.startswith("InvalidOperationException: CreateWindowEx failed: "), r.stderr


def test_without_a_display_nothing_runs_unseen():
    # Neither the window (for playing or recording) nor the setup dialog can be made:
    # each ends the program with status 1 and the reason, before anything is drawn.
    if not os.path.exists(FONT):
        raise SkipTest("the font asset is not in the tree yet")
    d = temp_dir()
    base = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    unset = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set"
    cases = [
        (["-w"], {}, "InvalidOperationException: CreateWindowEx failed: " + unset),
        ([], {}, "InvalidOperationException: The setup dialog cannot be shown: " + unset),
        (["--record", "x.mp4", "--length", "1"], {}, "InvalidOperationException: CreateWindowEx failed: " + unset),
        (["-f"], {"DISPLAY": ":9999"}, "InvalidOperationException: CreateWindowEx failed: "
                                       "cannot open the display ':9999'"),
        (["--setup"], {"DISPLAY": ":9999"}, "InvalidOperationException: The setup dialog cannot be shown: "
                                            "cannot open the display ':9999'"),
    ]
    for args, extra, expected in cases:
        r = subprocess.run([EXE, *args], capture_output=True, text=True, timeout=60, cwd=d,
                           env=dict(base, ALSOFT_DRIVERS="null", **extra))
        assert (r.returncode, r.stderr.strip()) == (1, expected), (args, r)
        assert "Loaded" not in r.stdout and not os.path.exists(os.path.join(d, "x.mp4")), (args, r.stdout)


def test_embedded_mode_without_font_names_the_asset():
    if os.path.exists(FONT):
        raise SkipTest("the font is embedded")
    d, exe = outside_copy()
    r = subprocess.run([exe, "-w"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.strip() == ("FileNotFoundException: 'Artifacts/Fonts/velk_stencil/VelkStencil.ttf' "
                                "is not embedded in the executable."), r.stderr


run_tests([test_development_mode_reads_the_tree, test_embedded_mode_has_the_font,
           test_without_a_display_nothing_runs_unseen, test_embedded_mode_without_font_names_the_asset])
