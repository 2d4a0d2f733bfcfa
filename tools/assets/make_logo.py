#!/usr/bin/python3
"""Writes the demo's logo, Artifacts/Graphics/tovelmark_velk.svg.

The logo is an opaque plate that fills its viewBox, with the emblem cut out
of it as holes (one path, even-odd fill): the demo reads only the alpha, and
the emblem is where the alpha is 0. The emblem is a stencil badge: a shield
outline cut by four bridges around a bold V whose arms are parted by a bridge
at the point, with a diamond between the arms. It sits in the middle of the plate,
inside the central 56 % of the plate's width that a tile shows, so it stays
whole when the plate is tiled.

Every hole is a separate closed sub-path, and no two holes overlap, so the
even-odd rule leaves each of them empty. The root has a viewBox and no width or
height: a renderer fits it to whatever viewport it is given (an absolute size
would make SVG renderers draw it at that size in the viewport's corner).
Deterministic output.
Run:  /usr/bin/python3 tools/assets/make_logo.py [output.svg]
"""
import math
import os
import sys

W, H = 1191, 839
CX, CY = W / 2, H / 2

# The shield: flat top, straight sides, lower sides two circular arcs of
# radius SHIELD_R that meet in the point at the bottom (a heater shield).
SHIELD_W = 560
SHIELD_H = 730
SHIELD_R = 560
BAND = 52              # width of the shield's outline band
GAP = 30               # width of every stencil bridge
TOP = CY - SHIELD_H / 2
POINT = CY + SHIELD_H / 2
SIDE_END = POINT - math.sqrt(SHIELD_R ** 2 - (SHIELD_R - SHIELD_W / 2) ** 2)
SIDE_BRIDGE = TOP + 0.5 * (SIDE_END - TOP)

V_TOP = CY - 262       # top edge of the V's arms
V_BOTTOM = CY + 186    # the V's point, cut flat
V_HALF = 196           # half the width across the tops of the arms
V_ARM_TOP = 126        # horizontal width of an arm at its top
V_ARM_BOTTOM = 78      # and at the point
V_GAP = GAP            # bridge between the arms at the point

DIAMOND_Y = CY - 158
DIAMOND_HALF_W = 36
DIAMOND_HALF_H = 66


def fmt(v):
    s = '%.2f' % v
    s = s.rstrip('0').rstrip('.')
    return '0' if s == '-0' else s


def pt(x, y):
    return fmt(x) + ' ' + fmt(y)


def polygon(points):
    d = 'M' + pt(*points[0])
    for p in points[1:]:
        d += ' L' + pt(*p)
    return d + ' Z'


def arc_points(r, x_to, steps=24):
    """The left lower arc of radius r from its top (at SIDE_END) down to x = x_to."""
    ccx = CX + SHIELD_R - SHIELD_W / 2
    a0 = math.pi
    a1 = math.acos((x_to - ccx) / r)   # y points down, so the arc runs below the centre
    pts = []
    for k in range(steps + 1):
        a = a0 + (a1 - a0) * k / steps
        pts.append((ccx + r * math.cos(a), SIDE_END + r * math.sin(a)))
    return pts


def shield_pieces():
    """The outline band in four pieces, parted by bridges at the top, on both
    sides and at the point."""
    xo, xi = CX - SHIELD_W / 2, CX - SHIELD_W / 2 + BAND
    top_left = [(CX - GAP / 2, TOP), (xo, TOP), (xo, SIDE_BRIDGE - GAP / 2),
                (xi, SIDE_BRIDGE - GAP / 2), (xi, TOP + BAND), (CX - GAP / 2, TOP + BAND)]
    outer = [(xo, SIDE_BRIDGE + GAP / 2)] + arc_points(SHIELD_R, CX - GAP / 2)
    inner = [(xi, SIDE_BRIDGE + GAP / 2)] + arc_points(SHIELD_R - BAND, CX - GAP / 2)
    lower_left = outer + inner[::-1]
    pieces = [top_left, lower_left]
    return pieces + [[(W - x, y) for x, y in p] for p in pieces]


def inner_clearance(x, y):
    """Distance from a point inside the shield to the inner edge of the band."""
    xi = CX - SHIELD_W / 2 + BAND
    ax = abs(x - CX)
    d_side = (CX - xi) - ax
    d_top = y - (TOP + BAND)
    d = min(d_side, d_top)
    if y > SIDE_END:
        ccx = CX + SHIELD_R - SHIELD_W / 2
        d = min(d, (SHIELD_R - BAND) - math.hypot(CX - ax - ccx, y - SIDE_END))
    return d


def v_arms():
    left = [(CX - V_HALF, V_TOP), (CX - V_HALF + V_ARM_TOP, V_TOP),
            (CX - V_GAP / 2, V_BOTTOM), (CX - V_GAP / 2 - V_ARM_BOTTOM, V_BOTTOM)]
    right = [(W - x, y) for x, y in left]
    return [left, right]


def diamond():
    return [(CX, DIAMOND_Y - DIAMOND_HALF_H), (CX + DIAMOND_HALF_W, DIAMOND_Y),
            (CX, DIAMOND_Y + DIAMOND_HALF_H), (CX - DIAMOND_HALF_W, DIAMOND_Y)]


def check():
    """The V and the diamond keep clear of the band and of each other, and the
    emblem fits the middle 56 % of the plate's width that a tile shows."""
    left = v_arms()[0]
    for k in range(41):
        t = k / 40
        x = left[0][0] + t * (left[3][0] - left[0][0])
        y = left[0][1] + t * (left[3][1] - left[0][1])
        assert inner_clearance(x, y) > 24, (x, y, inner_clearance(x, y))
    t = (DIAMOND_Y - V_TOP) / (V_BOTTOM - V_TOP)
    edge = left[1][0] + t * (left[2][0] - left[1][0])
    assert CX - DIAMOND_HALF_W - edge > 20, edge
    assert SHIELD_W < 0.56 * W - 60 and SHIELD_H < H - 60


def svg():
    check()
    holes = [polygon(p) for p in shield_pieces() + v_arms() + [diamond()]]
    plate = 'M0 0 H%d V%d H0 Z' % (W, H)
    d = '\n           '.join([plate] + holes)
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d">\n'
        '  <title>tovelmark velk</title>\n'
        '  <path fill="#2a1a0c" fill-rule="evenodd"\n'
        '        d="%s"/>\n'
        '</svg>\n' % (W, H, d))


if __name__ == '__main__':
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, 'Artifacts', 'Graphics', 'tovelmark_velk.svg')
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, 'w', encoding='utf-8', newline='\n') as f:
        f.write(svg())
    print(out)
