"""The real executable drawing a small shader of its own source tree: the picture on
screen (orientation, size), hot reload of saved edits with its output lines (saves
written whole, and in place in pieces), and the end of the show at the shader's end
time plus 0.3 s."""
import os
import re
import shutil
import subprocess
import time

from velk_e2e import BINARY, Display, run_tests, save_by_rename as write, source_tree

# Red in the top half (p.y < 0), green in the right half, blue = iTime > 0.
SHADER = """cbuffer Globals : register(b0) { float2 iResolution; float iTime; float _pad; };
Texture2D Logo : register(t0);
SamplerState ClampSampler : register(s0);
//@settings
float4 VSMain(uint id : SV_VertexID) : SV_Position
{
    float2 uv = float2((id << 1) & 2, id & 2);
    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);
}
float4 PSMain(float4 pos : SV_Position) : SV_Target
{
    float2 p = (pos.xy - 0.5 * iResolution) / iResolution.y;
    return float4(p.y < 0 ? 1 : 0, p.x > 0 ? 1 : 0, iTime > 0 ? BLUE : 0, 1);
}
float4 EndTime() : SV_Target { return float4(END, END - 1, 0, 1); }
"""


def settings(end, blue=1):
    return '{ // timing\n  "END": %s,\n  "BLUE": %s,\n}\n' % (end, blue)


def pixel(png, x, y):
    out = subprocess.run(["convert", png, "-format", "%%[pixel:p{%d,%d}]" % (x, y), "info:"],
                         capture_output=True, text=True, check=True).stdout
    return tuple(int(round(float(v))) for v in re.findall(r"[\d.]+", out)[:3])


def start_and_wait_for_first_frame(d, exe, shot):
    """Starts the demo windowed and waits until its first frame (magenta at the top
    left) shows; the first frame comes once the shader has compiled (slower on a
    loaded machine). Returns the process and its window."""
    p = subprocess.Popen([exe, "-w"], env=d.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wid = d.wait_for_window("tovelmark velk", timeout=60)
    if not wid:
        p.kill()
        assert False, ("no window", p.communicate())
    for _ in range(120):
        time.sleep(0.5)
        d.screenshot(shot)
        if pixel(shot, 100, 100) == (255, 0, 255):
            break
    return p, wid


def test_draws_reloads_and_ends_at_the_end_time():
    tree, exe = source_tree()
    shader = os.path.join(tree, "Shaders", "demo.hlsl")
    json = os.path.join(tree, "Shaders", "demo.hlsl.json")
    base = time.time() - 100
    write(shader, SHADER, base)
    write(json, settings(15), base + 1)
    # The screen has the window's size: without a window manager it sits at (0, 0).
    with Display(1280, 720) as d:
        started = time.time()
        shot = os.path.join(BINARY, "e2e-renderer-tree.png")
        p, wid = start_and_wait_for_first_frame(d, exe, shot)
        # Top left red, top right red + green, bottom right green; blue once iTime > 0.
        assert pixel(shot, 100, 100) == (255, 0, 255), pixel(shot, 100, 100)
        assert pixel(shot, 1180, 100) == (255, 255, 255), pixel(shot, 1180, 100)
        assert pixel(shot, 100, 620) == (0, 0, 255), pixel(shot, 100, 620)
        assert pixel(shot, 1180, 620) == (0, 255, 255), pixel(shot, 1180, 620)
        # Rows 359 and 360 straddle p.y = 0.
        assert pixel(shot, 640, 359)[0] == 255 and pixel(shot, 640, 360)[0] == 0

        # A settings syntax error keeps the shader; the fix reloads it (no blue now).
        write(json, '{ "END": 15, "BLUE": }', base + 2)
        time.sleep(1.0)
        write(json, settings(15, 0), base + 3)
        shot2 = os.path.join(BINARY, "e2e-renderer-tree-reloaded.png")
        for _ in range(40):
            time.sleep(0.25)
            d.screenshot(shot2)
            if pixel(shot2, 100, 620) == (0, 0, 0):
                break
        assert pixel(shot2, 100, 620) == (0, 0, 0), pixel(shot2, 100, 620)

        # A resized window: the frame follows its new client size.
        d.xdotool("windowsize", wid, "640", "360")
        shot3 = os.path.join(BINARY, "e2e-renderer-tree-resized.png")
        for _ in range(40):
            time.sleep(0.25)
            d.screenshot(shot3)
            if pixel(shot3, 340, 190) == (0, 255, 0):
                break
        assert pixel(shot3, 300, 170) == (255, 0, 0), pixel(shot3, 300, 170)
        assert pixel(shot3, 340, 170) == (255, 255, 0), pixel(shot3, 340, 170)
        assert pixel(shot3, 300, 190) == (0, 0, 0), pixel(shot3, 300, 190)
        assert pixel(shot3, 340, 190) == (0, 255, 0), pixel(shot3, 340, 190)

        out, err = p.communicate(timeout=60)
        elapsed = time.time() - started
    assert p.returncode == 0, (p.returncode, err)
    loaded = [l for l in out.splitlines() if re.fullmatch(r"\[\d\d:\d\d:\d\d\] Loaded demo\.hlsl", l)]
    assert len(loaded) == 2 and len(out.splitlines()) == 2, out
    assert len(err.splitlines()) == 1 and err.startswith("demo.hlsl.json: "), err
    # The show ends 0.3 s after END = 15 s of the clock (which starts after the load).
    assert 15.3 <= elapsed < 45, elapsed


def save_in_pieces(path, text, pause):
    # In place, as many editors save: truncated, then written in two pieces with a
    # pause between them (the file is flushed, so the half is on disk meanwhile).
    with open(path, "w") as f:
        f.write(text[:len(text) // 2])
        f.flush()
        time.sleep(pause)
        f.write(text[len(text) // 2:])


def test_saves_written_in_pieces_load_without_false_errors():
    tree, exe = source_tree()
    shader = os.path.join(tree, "Shaders", "demo.hlsl")
    json = os.path.join(tree, "Shaders", "demo.hlsl.json")
    base = time.time() - 100
    write(shader, SHADER, base)
    write(json, settings(1000, 1), base + 1)
    saves = 8
    with Display(1280, 720) as d:
        shot = os.path.join(BINARY, "e2e-renderer-tree-pieces.png")
        p, wid = start_and_wait_for_first_frame(d, exe, shot)
        # The shader and the settings in turn, the last one without blue.
        for i in range(saves):
            if i % 2 == 0:
                save_in_pieces(shader, SHADER + "// save %d\n" % i, 0.03)
            else:
                save_in_pieces(json, settings(1000, 1 if i < saves - 1 else 0), 0.03)
            time.sleep(0.6)
        for _ in range(40):
            d.screenshot(shot)
            if pixel(shot, 100, 620) == (0, 0, 0):
                break
            time.sleep(0.25)
        assert pixel(shot, 100, 620) == (0, 0, 0), pixel(shot, 100, 620)
        d.xdotool("key", "--window", wid, "Escape")
        out, err = p.communicate(timeout=60)
    assert p.returncode == 0, (p.returncode, err)
    assert err == "", err
    loaded = [l for l in out.splitlines() if re.fullmatch(r"\[\d\d:\d\d:\d\d\] Loaded demo\.hlsl", l)]
    assert len(loaded) == 1 + saves and len(out.splitlines()) == 1 + saves, out


def test_missing_shaders_folder_ends_the_start():
    tree, exe = source_tree()
    shutil.rmtree(os.path.join(tree, "Shaders"))
    with Display(1280, 720) as d:
        r = subprocess.run([exe, "-w"], env=d.env(), capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.strip() == "InvalidOperationException: Could not compile Shaders/demo.hlsl", r.stderr


run_tests([test_draws_reloads_and_ends_at_the_end_time, test_saves_written_in_pieces_load_without_false_errors,
           test_missing_shaders_folder_ends_the_start])
