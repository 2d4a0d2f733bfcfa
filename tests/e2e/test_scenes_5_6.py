"""Frames of the plasma and the finale drawn by the render_frame tool with the real
textures: the plasma starts on the plain key colour, the sideways text enters at
the right screen edge and has fully entered when the shader's timing says so, on
screens of two shapes,
the finale shows the plain key colour with no shadow before the can arrives and
after it has gone, the can squashes on landing but not on its first hop, and
after the end the screen is the plain key colour."""
import os
import re
import shutil
import subprocess

from velk_e2e import SOURCE, Frame, near, run_tests, temp_dir

TOOLS = os.environ.get("VELK_TOOLS", os.path.join(os.environ.get("VELK_BINARY_DIR", os.path.join(SOURCE, "build")),
                                                  "tests"))
RENDER = os.path.join(TOOLS, "render_frame")

# Settings of the shipped file that the timeline below follows from.
PLASMA_START = 82.1
PLASMA_FADE = 2.5
SCROLL_START = 90.433
SCROLL_SPEED = 0.45
SCROLL_HEIGHT = 0.17
SCROLL_LEAD = 4.65
SCROLL_DOWN_LEAD = 10.0
PLASMA_OUT = 2.5
CAN_DELAY = 0.5
CAN_HEIGHT = 0.55
CAN_FLOOR = 0.40
HOPS = ((1.25, 0.30, 0.55, 1.1), (0.30, -0.15, 0.30, 0.75), (-0.15, 0.20, 0.22, 0.65), (0.20, -0.05, 0.12, 0.5),
        (-0.05, -1.30, 0.50, 1.2))
VELKT_DELAY = 0.3
VELKT_FADE = 1.2
VELKT_HOLD = 2.0
VELKT_OUT = 1.0
PICTURE_FADE = 1.2
CREDIT_HOLD = 2.0
CREDIT_OUT = 1.0
PICTURE_HOLD = 1.5
FINAL_FADE = 2.5

# The key colour as it leaves the shader (made linear with 2.2, encoded back).
VELK = (0x75, 0x4C, 0x29)


class Timeline:
    """The moments of scenes 5 and 6 for the textures' pixel sizes."""

    def __init__(self, sizes):
        ws, hs = sizes["Scrolltext"]
        hu = sizes["ScrollUp"][1]
        hd = sizes["ScrollDown"][1]
        self.scroll_written = SCROLL_START + ws / hs * SCROLL_HEIGHT / SCROLL_SPEED
        up_start = self.scroll_written - SCROLL_LEAD
        down_start = up_start + hu * SCROLL_HEIGHT / hs / SCROLL_SPEED - SCROLL_DOWN_LEAD
        self.plasma_out_start = down_start + hd * SCROLL_HEIGHT / hs / SCROLL_SPEED + 1 / SCROLL_SPEED
        self.can_start = self.plasma_out_start + PLASMA_OUT + CAN_DELAY
        self.can_end = self.can_start + sum(h[3] for h in HOPS)
        self.velkt_start = self.can_end + VELKT_DELAY
        self.picture_start = self.velkt_start + VELKT_FADE + VELKT_HOLD + VELKT_OUT
        self.final_fade_start = self.picture_start + PICTURE_FADE + CREDIT_HOLD + CREDIT_OUT + PICTURE_HOLD
        self.demo_end = self.final_fade_start + FINAL_FADE


def is_plain(frame):
    return all(near(p, VELK, 1) for p in frame.pixels())


def make_tree(plain_plasma=False):
    """A source tree with the demo shader and its assets; with plain_plasma the
    plasma's fade-in is stretched so far that it stays on the key colour and only
    the scrollers draw."""
    tree = temp_dir()
    open(os.path.join(tree, "tovelmark-velk.root"), "w").close()
    os.makedirs(os.path.join(tree, "Shaders"))
    shutil.copy2(os.path.join(SOURCE, "Shaders", "demo.hlsl"), os.path.join(tree, "Shaders", "demo.hlsl"))
    with open(os.path.join(SOURCE, "Shaders", "demo.hlsl.json"), encoding="utf-8") as f:
        settings = f.read()
    if plain_plasma:
        settings, n = re.subn(r'("PLASMA_FADE":\s*)[^,\n]+,', r"\g<1>1e9,", settings, count=1)
        assert n == 1
    with open(os.path.join(tree, "Shaders", "demo.hlsl.json"), "w", encoding="utf-8") as f:
        f.write(settings)
    os.symlink(os.path.abspath(os.path.join(SOURCE, "Artifacts")), os.path.join(tree, "Artifacts"))
    return tree


def textures(tree):
    """The end time, the final fade start and the textures' pixel sizes that
    render_frame prints (it draws one throwaway frame for them)."""
    r = subprocess.run([RENDER, tree, "0", "1", "1", os.path.join(tree, "sizes.png")], capture_output=True,
                       text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    end = re.search(r"^end ([\d.]+), final fade ([\d.]+)$", r.stdout, re.M)
    sizes = {m.group(1): (int(m.group(2)), int(m.group(3)))
             for m in re.finditer(r"^texture (\w+) (\d+)x(\d+)$", r.stdout, re.M)}
    assert end and len(sizes) == 20, r.stdout
    return float(end.group(1)), float(end.group(2)), sizes


def render(tree, width, height, times):
    """Frames at several moments, drawn by one renderer."""
    args = [RENDER, tree]
    outs = []
    for i, time in enumerate(times):
        out = os.path.join(tree, "frame-%dx%d-%d.png" % (width, height, i))
        outs.append(out)
        if i == 0:
            args += [repr(time), str(width), str(height), out]
        else:
            args += [repr(time), out]
    r = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    frames = []
    for out in outs:
        rgb = subprocess.run(["convert", out, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
        assert len(rgb) == 3 * width * height
        frames.append(Frame(width, height, rgb))
    return frames


SHIPPED = None


def shipped():
    global SHIPPED
    if SHIPPED is None:
        tree = make_tree()
        end, fade, sizes = textures(tree)
        SHIPPED = tree, Timeline(sizes), end, fade
    return SHIPPED


def test_end_time_follows_the_scroll_texts():
    _, timeline, end, fade = shipped()
    assert abs(end - timeline.demo_end) < 2e-3, (end, timeline.demo_end)
    assert abs(fade - timeline.final_fade_start) < 2e-3, (fade, timeline.final_fade_start)


def test_plasma_starts_on_the_key_colour():
    tree, _, _, _ = shipped()
    start, fading = render(tree, 240, 135, [PLASMA_START, PLASMA_START + PLASMA_FADE / 2])
    assert is_plain(start)
    assert sum(1 for p in fading.pixels() if not near(p, VELK, 6)) > 1000


def test_sideways_text_enters_at_the_right_edge_and_has_fully_entered_when_written():
    """The text's left edge starts at the right screen edge, so on any screen shape
    nothing shows just after the cue, and at scrollWritten the whole line is in
    with its last ink just inside the right edge, as far in as the texture's
    right margin (the text textures keep a margin around their ink)."""
    tree = make_tree(plain_plasma=True)
    timeline = shipped()[1]
    gaps = []
    for width, height in ((480, 270), (360, 270)):
        cue, written = render(tree, width, height, [SCROLL_START + 0.005, timeline.scroll_written])
        # The letters are cream; the shadow only darkens.
        assert not any(sum(p) > sum(VELK) + 60 for p in cue.pixels()), (width, height)
        inked = [x for x in range(width // 2, width)
                 if any(sum(written.at(x, y)) > sum(VELK) + 60 for y in range(height))]
        assert inked, (width, height)
        gaps.append((width - 1 - max(inked)) / height)
    # The same distance in screen heights on both shapes, and within the margin of
    # 0.1 font size plus the last glyph's side bearing (under 0.025 screen heights).
    assert abs(gaps[0] - gaps[1]) <= 1.5 / 270, gaps
    assert 0 <= gaps[0] < 0.025, gaps


def test_finale_is_plain_before_the_can_and_after_its_last_hop():
    tree, timeline, _, _ = shipped()
    frames = render(tree, 240, 135, [timeline.can_start - 0.25, timeline.can_start + 0.01, timeline.can_end + 0.05,
                                     timeline.can_start + 0.5])
    before, arriving, gone, hopping = frames
    assert is_plain(before)
    # The first hop starts off screen to the right, shadow and all.
    assert is_plain(arriving)
    assert is_plain(gone)
    assert not is_plain(hopping)


def test_can_squashes_on_landing_but_not_on_its_first_hop():
    """Just before the first landing the can stands at its full height; just after
    it, on the second hop, it is squashed: the spot near the top of its cap is
    floor, though the can is still there."""
    tree, timeline, _, _ = shipped()
    landing = timeline.can_start + HOPS[0][3]
    before, after = render(tree, 320, 180, [landing - 0.002, landing + 0.002])
    x = HOPS[0][1]
    top = CAN_FLOOR - 0.93 * CAN_HEIGHT
    assert not near(before.spot(x, top), VELK, 4), before.spot(x, top)
    assert near(after.spot(x, top), VELK, 1), after.spot(x, top)
    assert sum(1 for p in after.pixels() if not near(p, VELK, 6)) > 1000


def test_show_ends_on_the_key_colour():
    tree, timeline, _, _ = shipped()
    picture, after = render(tree, 240, 135, [timeline.picture_start + PICTURE_FADE + 0.5, timeline.demo_end + 0.05])
    assert sum(1 for p in picture.pixels() if not near(p, VELK, 6)) > 3000
    assert is_plain(after)


if __name__ == "__main__":
    run_tests([test_end_time_follows_the_scroll_texts, test_plasma_starts_on_the_key_colour,
               test_sideways_text_enters_at_the_right_edge_and_has_fully_entered_when_written,
               test_finale_is_plain_before_the_can_and_after_its_last_hop,
               test_can_squashes_on_landing_but_not_on_its_first_hop, test_show_ends_on_the_key_colour])
