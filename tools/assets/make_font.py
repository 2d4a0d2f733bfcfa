#!/usr/bin/python3
"""Builds the demo's stencil font, Artifacts/Fonts/velk_stencil/VelkStencil.ttf.

Every glyph is drawn here from a few geometric pieces (bars, slanted legs and
elliptic arc bands). Pieces never close around a counter: wherever a letter
would enclose a hole, a bridge (a gap of BRIDGE units) cuts the stroke, as if
the letter had been sprayed through a stencil. Outlines are straight-segment
TrueType contours; pieces may touch or overlap (non-zero fill).

Deterministic: the same script always writes the same bytes.
Run:  /usr/bin/python3 tools/assets/make_font.py [output.ttf]
"""
import math
import os
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

UPM = 1000
CAP = 700          # cap height
XH = 530           # lowercase x-height
ASC = 760          # ascender of b, d, f, h, k, l, t
DESC = -200        # descender of g, j, p, q, y
STEM = 150         # vertical stroke weight
BAR = 124          # horizontal stroke weight
BRIDGE = 46        # stencil gap
SB = 55            # side bearing on each side
ARC_STEP = 4.0     # degrees per segment on arcs

# Vertical metrics: one set for hhea, OS/2 typo and OS/2 win, line gap 0.
ASCENT = 920
DESCENT = 260      # positive distance below the baseline

# ---------------------------------------------------------------- geometry


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x0, y1), (x1, y1), (x1, y0)]


def slant(xb, xt, a, y0, y1):
    """Parallelogram leg: left edge from (xb, y0) to (xt, y1), horizontal width a."""
    return [(xb, y0), (xt, y1), (xt + a, y1), (xb + a, y0)]


def _ell(cx, cy, rx, ry, deg):
    t = math.radians(deg)
    return (cx + rx * math.cos(t), cy + ry * math.sin(t))


def _solve(cx, cy, rx, ry, cut, ref):
    """Angle on the ellipse where a cut meets it, nearest to ref (degrees)."""
    kind, v = cut
    if kind == 'a':
        return v
    if kind == 'x':
        c = max(-1.0, min(1.0, (v - cx) / rx))
        base = math.degrees(math.acos(c))
        cands = [base, -base]
    else:
        s = max(-1.0, min(1.0, (v - cy) / ry))
        base = math.degrees(math.asin(s))
        cands = [base, 180 - base]
    best = None
    for c in cands:
        for k in (-720, -360, 0, 360, 720):
            d = abs(c + k - ref)
            if best is None or d < best[0]:
                best = (d, c + k)
    return best[1]


def arc(cx, cy, rx, ry, a0, a1, wx=STEM, wy=BAR):
    """Band between the ellipse (rx, ry) and the inner ellipse (rx-wx, ry-wy),
    counter-clockwise from end a0 to end a1. An end is an angle in degrees or
    a cut ('x', value) / ('y', value) along a vertical or horizontal line,
    given as (cut, approximate angle)."""
    ix, iy = rx - wx, ry - wy

    def ends(e):
        if isinstance(e, (int, float)):
            return e, e
        cut, ref = e
        return (_solve(cx, cy, rx, ry, cut, ref), _solve(cx, cy, ix, iy, cut, ref))

    o0, i0 = ends(a0)
    o1, i1 = ends(a1)
    while o1 <= o0:
        o1 += 360
    while i1 <= i0:
        i1 += 360
    pts = []
    n = max(2, int(math.ceil((o1 - o0) / ARC_STEP)))
    for k in range(n + 1):
        pts.append(_ell(cx, cy, rx, ry, o0 + (o1 - o0) * k / n))
    n = max(2, int(math.ceil((i1 - i0) / ARC_STEP)))
    for k in range(n + 1):
        pts.append(_ell(cx, cy, ix, iy, i1 - (i1 - i0) * k / n))
    return pts


def ring(cx, cy, rx, ry, wx=STEM, wy=BAR, gap=BRIDGE, cut='x'):
    """A closed ring cut by two bridges: top and bottom ('x') or left and right ('y')."""
    if cut == 'x':
        return [arc(cx, cy, rx, ry, (('x', cx + gap / 2), -90), (('x', cx + gap / 2), 90), wx, wy),
                arc(cx, cy, rx, ry, (('x', cx - gap / 2), 90), (('x', cx - gap / 2), 270), wx, wy)]
    return [arc(cx, cy, rx, ry, (('y', cy + gap / 2), 0), (('y', cy + gap / 2), 180), wx, wy),
            arc(cx, cy, rx, ry, (('y', cy - gap / 2), 180), (('y', cy - gap / 2), 360), wx, wy)]


def bowl(x0, x1, y0, y1, rx, wx=STEM, wy=BAR, right=True):
    """A D-shaped band: bars from x0 along the top and bottom, closed by a
    half-ellipse of horizontal radius rx (on the right, or mirrored to the left)."""
    cy = (y0 + y1) / 2
    ry = (y1 - y0) / 2
    xs = x1 - rx
    pts = [(x0, y1), (xs, y1)]
    n = int(math.ceil(180 / ARC_STEP))
    for k in range(n + 1):
        pts.append(_ell(xs, cy, rx, ry, 90 - 180 * k / n))
    pts += [(xs, y0), (x0, y0), (x0, y0 + wy), (xs, y0 + wy)]
    for k in range(n + 1):
        pts.append(_ell(xs, cy, rx - wx, ry - wy, -90 + 180 * k / n))
    pts += [(xs, y1 - wy), (x0, y1 - wy)]
    if not right:
        pts = [(x0 + x1 - x, y) for x, y in pts]
    return pts


def mirror(polys, w):
    return [[(w - x, y) for x, y in p] for p in polys]


def rot180(polys, w, h):
    return [[(w - x, h - y) for x, y in p] for p in polys]


def shift(polys, dx=0, dy=0):
    return [[(x + dx, y + dy) for x, y in p] for p in polys]


def line_x(p0, p1, y):
    (x0, y0), (x1, y1) = p0, p1
    return x0 + (x1 - x0) * (y - y0) / (y1 - y0)


# ---------------------------------------------------------------- letters
# Each builder takes the letter height h and returns (width, polygons);
# capitals use h = CAP, small forms h = XH.

def g_A(h):
    w = 0.86 * h + 60
    a = STEM * 1.08
    c = w / 2
    left = slant(0, c - BRIDGE / 2 - a, a, 0, h)
    right = mirror([left], w)[0]
    yb0, yb1 = 0.2 * h, 0.2 * h + BAR
    xl = lambda y: line_x((a, 0), (c - BRIDGE / 2, h), y) + BRIDGE
    bar = [(xl(yb0), yb0), (xl(yb1), yb1), (w - xl(yb1), yb1), (w - xl(yb0), yb0)]
    return w, [left, right, bar]


def g_B(h):
    w = 0.74 * h + 40
    mid = 0.53 * h
    up = bowl(STEM + BRIDGE, w - 0.06 * w, mid - BAR / 2, h, (h - mid) * 0.62)
    lo = bowl(STEM + BRIDGE, w, 0, mid + BAR / 2, mid * 0.62)
    return w, [rect(0, 0, STEM, h), up, lo]


def g_C(h):
    w = 0.8 * h + 40
    return w, [arc(w / 2, h / 2, w / 2, h / 2, 42, 318)]


def g_D(h):
    w = 0.8 * h + 40
    return w, [rect(0, 0, STEM, h), bowl(STEM + BRIDGE, w, 0, h, h * 0.42)]


def g_E(h):
    w = 0.6 * h + 50
    x = STEM + BRIDGE
    return w, [rect(0, 0, STEM, h), rect(x, h - BAR, w, h),
               rect(x, (h - BAR) / 2, w - 0.1 * w, (h + BAR) / 2), rect(x, 0, w, BAR)]


def g_F(h):
    w = 0.58 * h + 50
    x = STEM + BRIDGE
    return w, [rect(0, 0, STEM, h), rect(x, h - BAR, w, h),
               rect(x, 0.44 * h - BAR / 2, w - 0.1 * w, 0.44 * h + BAR / 2)]


def g_G(h):
    w = 0.82 * h + 40
    cx, cy = w / 2, h / 2
    yc = cy - 0.08 * h
    body = arc(cx, cy, w / 2, h / 2, 45, (('y', yc), 350))
    bar = rect(cx + 0.02 * w, yc + BRIDGE, w, yc + BRIDGE + BAR)
    return w, [body, bar]


def g_H(h):
    w = 0.76 * h + 40
    x = STEM + BRIDGE
    return w, [rect(0, 0, STEM, h), rect(w - STEM, 0, w, h),
               rect(x, (h - BAR) / 2, w - x, (h + BAR) / 2)]


def g_I(h):
    return STEM, [rect(0, 0, STEM, h)]


def g_J(h):
    w = 0.58 * h + 40
    r = w / 2
    ry = 0.36 * h
    return w, [rect(w - STEM, ry, w, h), arc(r, ry, r, ry, 200, 360)]


def g_K(h, w=None, stem_top=None):
    w = w or 0.74 * h + 40
    a = STEM * 1.1
    x = STEM + BRIDGE
    yj = 0.36 * h
    arm = slant(x, w - a, a, yj, h)
    # lower leg starts on the arm's lower edge, leaves a bridge below it
    ym = 0.5 * h
    xm = line_x((x + a, yj), (w, h), ym) - a * 0.35
    leg_top = ym - BRIDGE * 0.9
    leg = [(w - a, 0), (xm - a * 0.55 - 0.12 * (ym - leg_top), leg_top), (xm + a * 0.45, leg_top), (w, 0)]
    return w, [rect(0, 0, STEM, stem_top or h), arm, leg]


def g_L(h):
    w = 0.58 * h + 40
    return w, [rect(0, 0, STEM, h), rect(STEM + BRIDGE, 0, w, BAR)]


def g_M(h):
    w = 1.02 * h + 50
    a = STEM * 0.95
    x = STEM + BRIDGE
    c = w / 2
    yb = 0.18 * h
    left = slant(c - BRIDGE / 2 - a, STEM * 0.4, a * 1.05, yb, h)
    right = mirror([left], w)[0]
    return w, [rect(0, 0, STEM, h), rect(w - STEM, 0, w, h), left, right]


def g_N(h):
    w = 0.8 * h + 40
    a = STEM * 1.0
    x = STEM + BRIDGE
    return w, [rect(0, 0, STEM, h), rect(w - STEM, 0, w, h), slant(w - x - a * 1.1, STEM * 0.35, a * 1.1, 0, h)]


def g_O(h):
    w = 0.88 * h + 40
    return w, ring(w / 2, h / 2, w / 2, h / 2)


def g_P(h):
    w = 0.7 * h + 40
    y0 = 0.38 * h
    return w, [rect(0, 0, STEM, h), bowl(STEM + BRIDGE, w, y0, h, (h - y0) * 0.62)]


def g_Q(h):
    w = 0.88 * h + 40
    polys = ring(w / 2, h / 2, w / 2, h / 2)
    a = STEM * 0.95
    x0, x1 = 0.73 * w, 0.94 * w - a   # left edge at the bottom and at the top
    tail = [(x0, -0.1 * h), (x1, 0.3 * h), (x1 + a, 0.3 * h), (x0 + a, -0.1 * h)]
    return w, polys + [tail]


def g_R(h):
    w = 0.74 * h + 40
    y0 = 0.4 * h
    a = STEM * 1.05
    leg = [(w - a, 0), (w - a - 0.3 * w, y0 - BRIDGE), (w - 0.3 * w, y0 - BRIDGE), (w, 0)]
    return w, [rect(0, 0, STEM, h), bowl(STEM + BRIDGE, w - 0.04 * w, y0, h, (h - y0) * 0.6), leg]


def g_S(h):
    w = 0.72 * h + 40
    r = (h + BAR) / 4
    c = w / 2
    up = arc(c, h - r, w / 2 - 0.03 * w, r, 18, (('x', c - BRIDGE / 2), 270))
    lo = arc(c, r, w / 2, r, 198, (('x', c + BRIDGE / 2), 450))
    return w, [up, lo]


def g_T(h):
    w = 0.72 * h + 40
    c = w / 2
    return w, [rect(0, h - BAR, w, h), rect(c - STEM / 2, 0, c + STEM / 2, h - BAR - BRIDGE)]


def g_U(h):
    w = 0.78 * h + 40
    ry = 0.42 * h
    c = w / 2
    left = [rect(0, ry, STEM, h), arc(c, ry, c, ry, 180, (('x', c - BRIDGE / 2), 270))]
    right = mirror(left, w)
    return w, left + right


def g_V(h):
    w = 0.86 * h + 60
    a = STEM * 1.08
    c = w / 2
    left = slant(c - BRIDGE / 2 - a, 0, a, 0, h)
    return w, [left, mirror([left], w)[0]]


def g_W(h):
    """Four legs that meet: a W has no counter, so nothing parts it. Legs set
    side by side with bridges at every joint stand almost upright in this width
    and read as two v's; joined, each leg slants like a V's."""
    w = 1.3 * h + 60
    a = STEM * 0.9
    b1 = 0.27 * w
    m = w / 2
    l1 = slant(b1 - a / 2, 0, a, 0, h)            # from the top left corner down to the joint at b1
    l2 = slant(b1 - a / 2, m - a / 2, a, 0, h)    # up from that joint to the apex in the middle
    polys = [l1, l2]
    return w, polys + mirror(polys, w)


def g_X(h):
    """Two chevrons, > and <, parted by a vertical bridge where the strokes cross."""
    w = 0.82 * h + 50
    a = STEM * 1.08
    c, cy = w / 2, h / 2
    xm = c - BRIDGE / 2 - 0.82 * a         # where the inner edges of the arms meet
    t = (c - BRIDGE / 2 - a) / xm
    e = (1 - t) * (h - cy)                   # half height of the flat at the bridge
    left = [(0, h), (a, h), (c - BRIDGE / 2, cy + e), (c - BRIDGE / 2, cy - e),
            (a, 0), (0, 0), (xm, cy)]
    return w, [left, mirror([left], w)[0]]


def g_Y(h):
    w = 0.84 * h + 50
    a = STEM * 1.05
    c = w / 2
    yj = 0.42 * h
    left = slant(c - BRIDGE / 2 - a, 0, a, yj, h)
    return w, [left, mirror([left], w)[0], rect(c - STEM / 2, 0, c + STEM / 2, yj - BRIDGE)]


def g_Z(h):
    w = 0.72 * h + 40
    a = STEM * 1.1
    y0, y1 = BAR + BRIDGE, h - BAR - BRIDGE
    diag = [(0, y0), (w - a, y1), (w, y1), (a, y0)]
    return w, [rect(0, h - BAR, w, h), rect(0, 0, w, BAR), diag]


CAPS = {c: globals()['g_' + c] for c in 'ABCDEFGHIJKLMNOPQRSTUVWXYZ'}

# ---------------------------------------------------------------- lowercase


def l_a(h=XH):
    w = 0.96 * h
    ry = 0.32 * h
    bowl_ = [arc(w / 2 - STEM / 2 + 10, ry, w / 2 - STEM / 2 + 10, ry,
                 (('x', w - STEM - BRIDGE), 90), (('x', w - STEM - BRIDGE), 270), STEM * 0.9, BAR * 0.8)]
    topa = arc(w / 2, h - 0.28 * h, w / 2, 0.28 * h, 0, 155)
    return w, bowl_ + [rect(w - STEM, 0, w, h - 0.28 * h), topa]


def l_b(h=XH):
    w = 0.98 * h
    return w, [rect(0, 0, STEM, ASC), bowl(STEM + BRIDGE, w, 0, h, h * 0.46)]


def l_c(h=XH):
    w = 0.9 * h
    return w, [arc(w / 2, h / 2, w / 2, h / 2, 40, 320)]


def l_d(h=XH):
    """The bowl of b, mirrored, but held to the stem at both bars: the bridge cuts
    the bowl's round side instead. Parted from the stem at its joints, the bowl
    stands apart and the letter reads as "cl"."""
    w = 0.98 * h
    rx, ry = h * 0.46, h / 2
    xs, cy = w - rx, h / 2
    upper = arc(xs, cy, rx, ry, (('y', cy + BRIDGE / 2), 10), 90)
    lower = arc(xs, cy, rx, ry, -90, (('y', cy - BRIDGE / 2), -10))
    p = [rect(0, 0, STEM, ASC), rect(STEM - 1, h - BAR, xs + 1, h), rect(STEM - 1, 0, xs + 1, BAR), upper, lower]
    return w, mirror(p, w)


def l_e(h=XH):
    w = 0.94 * h
    cx, cy = w / 2, h / 2
    # the bar ends on the outline of the bowl
    x_end = cx + (w / 2) * math.sqrt(1 - (BAR * 0.8 / (h / 2)) ** 2)
    lbar = rect(STEM + BRIDGE, cy - BAR * 0.2, x_end, cy + BAR * 0.8)
    return w, [arc(cx, cy, w / 2, h / 2, (('y', cy - BAR * 0.2), 0), 322), lbar]


def l_f(h=XH):
    w = 0.68 * h
    x0 = 0.24 * w
    top = arc(x0 + 0.45 * w, ASC - 0.3 * h, 0.45 * w, 0.3 * h, 45, 180)
    return w, [rect(x0, 0, x0 + STEM, ASC - 0.3 * h), top,
               rect(x0 + STEM + BRIDGE * 0.7, h - BAR, w, h), rect(0, h - BAR, x0 - BRIDGE * 0.7, h)]


def l_g(h=XH):
    w = 0.98 * h
    p = mirror([rect(0, 0, STEM, h), bowl(STEM + BRIDGE, w, 0, h, h * 0.46)], w)
    p[0] = rect(w - STEM, 0.3 * h + DESC, w, h)
    hook = arc(w / 2, 0.3 * h + DESC + 20, w / 2, 0.3 * h + 20, 195, 360)
    return w, p + [hook]


def l_h(h=XH):
    w = 0.92 * h
    top = arc(w / 2 + STEM / 4, h - 0.32 * h, w / 2 - STEM / 4, 0.32 * h, 0, (('x', STEM + BRIDGE), 170))
    return w, [rect(0, 0, STEM, ASC), rect(w - STEM, 0, w, h - 0.32 * h), top]


def l_i(h=XH):
    return STEM, [rect(0, 0, STEM, h - BRIDGE * 0.0), rect(0, h + BRIDGE + 20, STEM, h + BRIDGE + 20 + STEM)]


def l_j(h=XH):
    w = 0.5 * h
    x = w - STEM
    hook = arc(x + STEM / 2 - 0.2 * h, 0.2 * h + DESC + 40, 0.2 * h + STEM / 2, 0.2 * h + 40, 200, 360)
    return w, [rect(x, DESC + 0.24 * h, w, h), rect(x, h + BRIDGE + 20, w, h + BRIDGE + 20 + STEM), hook]


def l_k(h=XH):
    return g_K(h, w=0.96 * h, stem_top=ASC)


def l_l(h=XH):
    return STEM, [rect(0, 0, STEM, ASC)]


def l_m(h=XH):
    w = 1.34 * h
    s = (w - STEM) / 2
    c1 = STEM + BRIDGE
    rx = (s + STEM - c1) / 2
    a1 = arc(c1 + rx, h - 0.3 * h, rx, 0.3 * h, 0, 180)
    c2 = c1 + 2 * rx + BRIDGE - STEM
    rx2 = (w - c2) / 2
    a2 = arc(c2 + rx2, h - 0.3 * h, rx2, 0.3 * h, 0, (('x', c1 + 2 * rx + BRIDGE / 2), 175))
    return w, [rect(0, 0, STEM, h), rect(c1 + 2 * rx - STEM, 0, c1 + 2 * rx, h - 0.3 * h), a1,
               rect(w - STEM, 0, w, h - 0.3 * h), a2]


def l_n(h=XH):
    w = 0.92 * h
    c1 = STEM + BRIDGE
    rx = (w - c1) / 2
    a1 = arc(c1 + rx, h - 0.32 * h, rx, 0.32 * h, 0, 180)
    return w, [rect(0, 0, STEM, h), rect(w - STEM, 0, w, h - 0.32 * h), a1]


def l_o(h=XH):
    w = 0.98 * h
    return w, ring(w / 2, h / 2, w / 2, h / 2)


def l_p(h=XH):
    w, p = l_b(h)
    p[0] = rect(0, DESC, STEM, h)
    return w, p


def l_q(h=XH):
    w, p = l_p(h)
    return w, mirror(p, w)


def l_r(h=XH):
    """Stem and shoulder in one piece: the arch springs from the stem (its band
    runs down into it) and ends in a drooping terminal on the right, within the
    ink bounds the letter always had."""
    w = 0.66 * h
    wx, wy = STEM * 0.8, BAR
    rx = (w + 20) / (1 + math.cos(math.radians(30)))  # the terminal's outer corner at w + 20
    ry = 0.34 * h
    a1 = arc(rx, h - ry, rx, ry, 30, 180, wx, wy)     # outer left edge on the stem's left edge
    return w, [rect(0, 0, STEM, h), a1]


def l_t(h=XH):
    w = 0.68 * h
    x0 = 0.26 * w
    bot = arc(x0 + 0.42 * w, 0.28 * h, 0.42 * w, 0.28 * h, 180, 310)
    return w, [rect(x0, 0.28 * h, x0 + STEM, ASC - 40), bot,
               rect(x0 + STEM + BRIDGE * 0.7, h - BAR, w, h), rect(0, h - BAR, x0 - BRIDGE * 0.7, h)]


def l_u(h=XH):
    w, p = l_n(h)
    return w, rot180(p, w, h)


def l_y(h=XH):
    w = 0.9 * h + 20
    a = STEM * 1.02
    c = w / 2
    left = slant(c - BRIDGE / 2 - a, 0, a, 0, h)
    right = [(c + BRIDGE / 2 - 0.24 * w - a * 0.2, DESC), (w - a, h), (w, h), (c + BRIDGE / 2 - 0.24 * w + a * 0.8, DESC)]
    return w, [left, right]


SMALL = {'a': l_a, 'b': l_b, 'c': l_c, 'd': l_d, 'e': l_e, 'f': l_f, 'g': l_g, 'h': l_h,
         'i': l_i, 'j': l_j, 'k': l_k, 'l': l_l, 'm': l_m, 'n': l_n, 'o': l_o, 'p': l_p,
         'q': l_q, 'r': l_r, 't': l_t, 'u': l_u, 'y': l_y}
# Letters whose lowercase is the capital's shape at x-height.
for ch in 'svwxz':
    SMALL[ch] = (lambda f: (lambda h=XH: f(h)))(CAPS[ch.upper()])

# ---------------------------------------------------------------- figures


def d_0(h=CAP):
    w = 0.7 * h
    return w, ring(w / 2, h / 2, w / 2, h / 2)


def d_1(h=CAP):
    w = 0.5 * h
    xs = w - STEM - 0.06 * w
    flag = [(xs - BRIDGE * 0.7, h), (xs - BRIDGE * 0.7, h - BAR * 1.3),
            (0, h - BAR * 1.3 - 0.16 * h), (0, h - 0.16 * h)]
    return w, [rect(xs, 0, xs + STEM, h), flag]


def d_2(h=CAP):
    w = 0.7 * h
    r = 0.27 * h
    a = STEM * 1.12
    yk = h - 1.5 * r
    top = arc(w / 2, h - r, w / 2, r, (('y', yk), -40), 160)
    y1 = yk - BRIDGE
    diag = [(0, BAR + BRIDGE), (w - a - 8, y1), (w - 8, y1), (a, BAR + BRIDGE)]
    return w, [top, diag, rect(0, 0, w, BAR)]


def d_3(h=CAP):
    w = 0.68 * h
    r = (h + BAR) / 4
    c = w / 2 - 0.04 * w
    up = arc(c, h - r, w - c - 0.05 * w, r, (('x', c), 270), 160)
    lo = arc(c, r, w - c, r, 200, (('x', c), 90))
    return w, [up, lo]


def d_4(h=CAP):
    w = 0.74 * h
    xs = w - STEM - 0.26 * w
    yb = 0.22 * h
    a = STEM * 1.05
    diag = [(0, yb + BAR + BRIDGE), (xs - BRIDGE - a, h), (xs - BRIDGE, h), (a * 1.15, yb + BAR + BRIDGE)]
    return w, [rect(xs, 0, xs + STEM, h), rect(0, yb, xs - BRIDGE, yb + BAR),
               rect(xs + STEM + BRIDGE, yb, w, yb + BAR), diag]


def d_5(h=CAP):
    w = 0.7 * h
    ry = 0.32 * h
    lo = arc(w / 2, ry, w / 2, ry, -150, (('x', STEM + BRIDGE), 120))
    top = rect(STEM + BRIDGE, h - BAR, w, h)
    stem = rect(0, ry + 0.25 * ry, STEM, h)
    return w, [top, stem, lo]


def d_6(h=CAP):
    w = 0.72 * h
    ry = 0.33 * h
    c = w / 2
    lo = ring(c, ry, c, ry, cut='x')
    up = arc(c, h - 0.5 * h, c, 0.5 * h, 40, 180)
    stem = rect(0, ry, STEM, h - 0.5 * h)
    return w, lo + [up, stem]


def d_7(h=CAP):
    w = 0.68 * h
    a = STEM * 1.1
    diag = [(0.14 * w, 0), (w - a, h - BAR - BRIDGE), (w, h - BAR - BRIDGE), (0.14 * w + a, 0)]
    return w, [rect(0, h - BAR, w, h), diag]


def d_8(h=CAP):
    w = 0.72 * h
    r_lo = 0.27 * h + BAR / 4
    r_up = h / 2 - r_lo + BAR / 2
    c = w / 2
    return w, ring(c, r_lo, c, r_lo) + ring(c, h - r_up, c - 0.05 * w, r_up)


def d_9(h=CAP):
    w, p = d_6(h)
    return w, rot180(p, w, h)


DIGITS = {str(i): globals()['d_%d' % i] for i in range(10)}

# ---------------------------------------------------------------- punctuation


def p_exclam(h=CAP):
    return STEM, [rect(0, STEM + BRIDGE, STEM, h), rect(0, 0, STEM, STEM)]


def p_period(h=CAP):
    return STEM, [rect(0, 0, STEM, STEM)]


def p_comma(h=CAP):
    return STEM, [[(0, STEM), (STEM, STEM), (STEM, 0), (STEM * 0.35, -0.2 * h), (0, -0.2 * h + 20), (STEM * 0.35, 0), (0, 0)]]


def p_hyphen(h=CAP):
    w = 0.42 * h
    return w, [rect(0, 0.38 * h - BAR / 2, w, 0.38 * h + BAR / 2)]


def p_quotesingle(h=CAP):
    return STEM * 0.85, [rect(0, h - 0.3 * h, STEM * 0.85, h)]


def p_question(h=CAP):
    w = 0.62 * h
    r = 0.25 * h
    top = arc(w / 2, h - r, w / 2, r, (('x', w / 2 + STEM / 2), -110), 160)
    stem = rect(w / 2 - STEM / 2, STEM + BRIDGE, w / 2 + STEM / 2, h - 2 * r + BAR - 0.02 * h)
    return w, [top, stem, rect(w / 2 - STEM / 2, 0, w / 2 + STEM / 2, STEM)]


def p_colon(h=CAP):
    return STEM, [rect(0, 0, STEM, STEM), rect(0, XH - STEM, STEM, XH)]


PUNCT = {'!': ('exclam', p_exclam), '.': ('period', p_period), ',': ('comma', p_comma),
         '-': ('hyphen', p_hyphen), "'": ('quotesingle', p_quotesingle),
         '?': ('question', p_question), ':': ('colon', p_colon)}

# ---------------------------------------------------------------- marks


def ring_mark(cx, base, size):
    """Small ring above a letter, split left and right by bridges."""
    ry = size / 2
    rx = ry * 1.25
    return ring(cx, base + ry, rx, ry, wx=STEM * 0.44, wy=BAR * 0.4, gap=BRIDGE * 0.6, cut='x')


def dots_mark(cx, base, w):
    d = min(STEM * 0.82, 0.3 * w)
    gap = max(BRIDGE * 1.6, 0.22 * w)
    return [rect(cx - gap / 2 - d, base, cx - gap / 2, base + d), rect(cx + gap / 2, base, cx + gap / 2 + d, base + d)]


def notdef():
    w = 500
    outer = rect(0, 0, w, CAP)
    inner = rect(70, 70, w - 70, CAP - 70)[::-1]
    return w, [outer, inner]


# ---------------------------------------------------------------- assembly


def area(p):
    s = 0.0
    for i in range(len(p)):
        x0, y0 = p[i]
        x1, y1 = p[(i + 1) % len(p)]
        s += x0 * y1 - x1 * y0
    return s / 2


def clean(p):
    q = []
    for x, y in p:
        pt = (int(round(x)), int(round(y)))
        if not q or q[-1] != pt:
            q.append(pt)
    while len(q) > 1 and q[0] == q[-1]:
        q.pop()
    return q


def make_glyph(polys, keep_direction=False):
    pen = TTGlyphPen(None)
    xs = []
    for p in polys:
        q = clean(p)
        if len(q) < 3:
            continue
        # TrueType fills clockwise contours; holes (notdef only) run the other way
        if not keep_direction and area(q) > 0:
            q = q[::-1]
        pen.moveTo(q[0])
        for pt in q[1:]:
            pen.lineTo(pt)
        pen.closePath()
        xs += [x for x, _ in q]
    return pen.glyph(), (min(xs) if xs else 0)


def build(out_path):
    glyphs = {}   # name -> (advance, polygons, keep_direction)
    cmap = {}

    def add(name, ch, w, polys, keep=False):
        adv = int(round(w + 2 * SB))
        glyphs[name] = (adv, shift(polys, SB), keep)
        if ch is not None:
            cmap[ord(ch)] = name

    w, p = notdef()
    add('.notdef', None, w, p, keep=True)
    glyphs['space'] = (270, [], False)
    cmap[0x20] = 'space'

    for ch, f in CAPS.items():
        w, p = f(CAP)
        add(ch, ch, w, p)
    for ch in 'abcdefghijklmnopqrstuvwxyz':
        w, p = SMALL[ch](XH)
        add(ch, ch, w, p)
    for ch, f in DIGITS.items():
        w, p = f(CAP)
        add(['zero', 'one', 'two', 'three', 'four', 'five', 'six', 'seven', 'eight', 'nine'][int(ch)], ch, w, p)
    for ch, (name, f) in PUNCT.items():
        w, p = f(CAP)
        add(name, ch, w, p)

    # accented letters: base letter plus a mark centred over it
    def accented(name, ch, base_fn, h, mark):
        w, p = base_fn(h)
        cx = w / 2
        if mark == 'ring':
            size = 0.225 * CAP if h == CAP else 0.3 * CAP
            base = h + BRIDGE * (0.9 if h == CAP else 1.6)
            p = p + ring_mark(cx, base, size)
        else:
            base = h + BRIDGE * (1.3 if h == CAP else 1.6)
            p = p + dots_mark(cx, base, w)
        add(name, ch, w, p)

    accented('Aring', '\u00c5', g_A, CAP, 'ring')
    accented('Adieresis', '\u00c4', g_A, CAP, 'dots')
    accented('Odieresis', '\u00d6', g_O, CAP, 'dots')
    accented('aring', '\u00e5', l_a, XH, 'ring')
    accented('adieresis', '\u00e4', l_a, XH, 'dots')
    accented('odieresis', '\u00f6', l_o, XH, 'dots')
    accented('udieresis', '\u00fc', l_u, XH, 'dots')

    order = ['.notdef', 'space'] + sorted(n for n in glyphs if n not in ('.notdef', 'space'))
    ttglyphs = {}
    hmtx = {}
    ymax = 0
    ymin = 0
    for name in order:
        adv, polys, keep = glyphs[name]
        g, xmin = make_glyph(polys, keep)
        ttglyphs[name] = g
        hmtx[name] = (adv, xmin)
        for poly in polys:
            for _, y in poly:
                ymax = max(ymax, y)
                ymin = min(ymin, y)
    assert ymax <= ASCENT and -ymin <= DESCENT, (ymax, ymin)

    fb = FontBuilder(UPM, isTTF=True)
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    fb.setupGlyf(ttglyphs)
    fb.setupHorizontalMetrics(hmtx)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=-DESCENT, lineGap=0)
    names = {
        'copyright': 'Drawn for the tovelmark velk demo.',
        'familyName': 'Velk Stencil',
        'styleName': 'Regular',
        'uniqueFontIdentifier': 'Velk Stencil Regular 1.000',
        'fullName': 'Velk Stencil',
        'version': 'Version 1.000',
        'psName': 'VelkStencil-Regular',
        'typographicFamily': 'Velk Stencil',
        'typographicSubfamily': 'Regular',
    }
    fb.setupNameTable(names, windows=True, mac=False)
    fb.setupOS2(
        version=4, usWeightClass=400, usWidthClass=5, fsType=0,
        achVendID='VELK', fsSelection=(1 << 6) | (1 << 7),  # REGULAR, USE_TYPO_METRICS
        sTypoAscender=ASCENT, sTypoDescender=-DESCENT, sTypoLineGap=0,
        usWinAscent=ASCENT, usWinDescent=DESCENT,
        sxHeight=XH, sCapHeight=CAP, usDefaultChar=0, usBreakChar=32,
        ulCodePageRange1=1)
    fb.setupPost(isFixedPitch=0, underlinePosition=-120, underlineThickness=60)
    fb.setupHead(unitsPerEm=UPM, created=0x9a3e6d00, modified=0x9a3e6d00, fontRevision=1.0, macStyle=0)
    fb.font.recalcTimestamp = False
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    fb.save(out_path)


if __name__ == '__main__':
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, 'Artifacts', 'Fonts', 'velk_stencil', 'VelkStencil.ttf')
    build(out)
    print(out)
