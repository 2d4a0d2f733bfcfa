"""Frames of the tunnel scene drawn by the render_frame tool from a temporary copy
of the source tree: it opens on ink and ends on the plain key colour, the finale
zoom keeps the point the metaballs orbit in place, and an opening draws only
within its life."""
import math
import os
import re
import shutil
import subprocess

from velk_e2e import SOURCE, Frame, near, run_tests, temp_dir

TOOLS = os.environ.get("VELK_TOOLS", os.path.join(os.environ.get("VELK_BINARY_DIR", os.path.join(SOURCE, "build")),
                                                  "tests"))
RENDER = os.path.join(TOOLS, "render_frame")

# Timings of the shipped settings file.
TUNNEL_START = 62.6
PORTAL_START = TUNNEL_START + 3.0
PORTAL_LIFE = 6.0
METABALL_START = TUNNEL_START + 8.0
FINALE_ZOOM_START = METABALL_START + 8.0
FINALE_FADE_START = FINALE_ZOOM_START + 2.0
PLASMA_START = FINALE_ZOOM_START + 3.5

# The palette as it leaves the shader: the key colour is made linear with 2.2 and
# encoded back with 1/2.2; ink is the key colour scaled to 8% in linear light.
VELK = (0x75, 0x4C, 0x29)
INK = tuple(round(255 * (0.08 * (v / 255) ** 2.2) ** (1 / 2.2)) for v in VELK)


def shipped_settings():
    with open(os.path.join(SOURCE, "Shaders", "demo.hlsl.json"), encoding="utf-8") as f:
        return f.read()


def with_setting(text, key, value):
    """The settings text with one entry's value replaced."""
    changed, n = re.subn(r'("%s":\s*)[^,\n]+,' % re.escape(key), lambda m: m.group(1) + value + ",", text, count=1)
    assert n == 1, key
    return changed


def make_tree(settings):
    """A source tree holding the demo shader, the given settings and the assets."""
    tree = temp_dir()
    open(os.path.join(tree, "tovelmark-velk.root"), "w").close()
    os.makedirs(os.path.join(tree, "Shaders"))
    shutil.copy2(os.path.join(SOURCE, "Shaders", "demo.hlsl"), os.path.join(tree, "Shaders", "demo.hlsl"))
    with open(os.path.join(tree, "Shaders", "demo.hlsl.json"), "w", encoding="utf-8") as f:
        f.write(settings)
    os.symlink(os.path.join(SOURCE, "Artifacts"), os.path.join(tree, "Artifacts"))
    return tree


def render(tree, time, width, height):
    out = os.path.join(tree, "frame-%s.png" % time)
    r = subprocess.run([RENDER, tree, repr(time), str(width), str(height), out], capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stderr
    rgb = subprocess.run(["convert", out, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    assert len(rgb) == 3 * width * height
    return Frame(width, height, rgb)


def tunnel_centre(u):
    t = min(max(u / 4.0, 0.0), 1.0)
    fade = t * t * (3 - 2 * t)
    return 0.30 * math.sin(0.7 * u) * fade, 0.18 * math.sin(0.53 * u) * fade


def test_scene_opens_on_ink_and_ends_on_the_key_colour():
    tree = make_tree(shipped_settings())
    # An odd size puts one pixel centre right on the vanishing point.
    cases = (("TUNNEL_START", TUNNEL_START, INK),
             ("just before PLASMA_START", PLASMA_START - 0.002, VELK),
             ("PLASMA_START", PLASMA_START, VELK))
    for name, time, colour in cases:
        frame = render(tree, time, 161, 91)
        wrong = [p for p in frame.pixels() if not near(p, colour, 1)]
        assert not wrong, "%s: %d pixels differ from %s, e.g. %s" % (name, len(wrong), colour, wrong[0])


def test_finale_zoom_keeps_the_orbit_centre_in_place():
    shipped = shipped_settings()
    unzoomed = make_tree(with_setting(shipped, "FINALE_ZOOM", "1"))
    zoomed = make_tree(shipped)
    # Most of the way into the zoom (2.3 times), before the fade starts.
    time = FINALE_FADE_START - 0.2
    width, height = 320, 180
    a = render(unzoomed, time, width, height)
    b = render(zoomed, time, width, height)
    cx, cy = tunnel_centre(time - TUNNEL_START)
    x = round(cx * height + width / 2 - 0.5)
    y = round(cy * height + height / 2 - 0.5)
    assert near(a.at(x, y), b.at(x, y), 6), (a.at(x, y), b.at(x, y))
    # The zoom is in effect: away from the centre the pictures differ.
    far = sum(1 for yy in range(0, height, 9) for xx in range(0, width, 9)
              if (xx - x) ** 2 + (yy - y) ** 2 > 60 ** 2 and not near(a.at(xx, yy), b.at(xx, yy), 6))
    assert far > 50, far


def test_an_opening_draws_only_within_its_life():
    shipped = shipped_settings()
    none = make_tree(with_setting(shipped, "PORTAL_COUNT", "0"))
    one = make_tree(with_setting(shipped, "PORTAL_COUNT", "1"))
    cases = (("before it opens", PORTAL_START - 0.3, False),
             ("as it opens, still without size", PORTAL_START, False),
             ("grown", PORTAL_START + 1.5, True),
             ("after its life", PORTAL_START + PORTAL_LIFE + 0.05, False))
    for name, time, drawn in cases:
        a = render(none, time, 240, 135)
        b = render(one, time, 240, 135)
        changed = sum(1 for p, q in zip(a.pixels(), b.pixels()) if p != q)
        if drawn:
            assert changed > 500, "%s: only %d pixels changed" % (name, changed)
        else:
            assert changed == 0, "%s: %d pixels changed" % (name, changed)


if __name__ == "__main__":
    run_tests([test_scene_opens_on_ink_and_ends_on_the_key_colour, test_finale_zoom_keeps_the_orbit_centre_in_place,
               test_an_opening_draws_only_within_its_life])
