"""A tiny procedural painter: signed-distance shapes, anti-aliased fills and
strokes in a local coordinate frame, and a PNG writer (zlib + struct).

Shapes are built in "design units"; a Canvas maps them to pixels with an
offset and a scale, so one character drawing serves both its own portrait and
the group picture. All compositing happens in premultiplied RGBA floats.
"""

import struct
import zlib

import numpy as np


def hexc(s):
    s = s.lstrip("#")
    return np.array([int(s[i : i + 2], 16) / 255.0 for i in (0, 2, 4)])


def mix(a, b, t):
    return np.asarray(a) * (1 - t) + np.asarray(b) * t


# The demo's palette and a few accents (sRGB).
KEY = hexc("#754c29")
KEY_DARK = hexc("#4f321a")
KEY_DEEP = hexc("#3a2413")
KEY_LIGHT = hexc("#a2703f")
KEY_PALE = hexc("#c9a27a")
CREAM = hexc("#f0e6d2")
CREAM_SH = hexc("#dccaa8")
WHITE = hexc("#f0eeed")
INK = hexc("#1a120c")
# The ink as the demo draws it: the key colour made linear (exponent 2.2), scaled
# to 8 % and encoded back, in whole sRGB levels: (37, 24, 13). Plain fields that
# the demo shows full screen next to its own ink use this one.
SCREEN_INK = np.round(255 * (KEY ** 2.2 * 0.08) ** (1 / 2.2)) / 255
SKIN = hexc("#e6c39c")
SKIN_SH = hexc("#c4946a")
SKIN_DEEP = hexc("#a06f48")
RED = hexc("#a8382a")
RED_DARK = hexc("#6e2219")
AMBER = hexc("#d69a2a")
STEEL = hexc("#b9b4aa")
STEEL_SH = hexc("#8a847a")


# ------------------------------------------------------------------ shapes


class Shape:
    """A signed distance function f(x, y) (negative inside) with a bounding box."""

    def __init__(self, f, bbox):
        self.f = f
        self.bbox = bbox  # (x0, y0, x1, y1) in design units

    def __or__(self, o):
        return Shape(lambda x, y: np.minimum(self.f(x, y), o.f(x, y)), _bunion(self.bbox, o.bbox))

    def __and__(self, o):
        return Shape(lambda x, y: np.maximum(self.f(x, y), o.f(x, y)), _bint(self.bbox, o.bbox))

    def __sub__(self, o):
        return Shape(lambda x, y: np.maximum(self.f(x, y), -o.f(x, y)), self.bbox)

    def grow(self, r):
        b = self.bbox
        return Shape(lambda x, y: self.f(x, y) - r, (b[0] - r, b[1] - r, b[2] + r, b[3] + r))

    def shift(self, dx, dy):
        b = self.bbox
        return Shape(lambda x, y: self.f(x - dx, y - dy), (b[0] + dx, b[1] + dy, b[2] + dx, b[3] + dy))

    def smooth_or(self, o, k):
        def f(x, y):
            a, b = self.f(x, y), o.f(x, y)
            h = np.clip(0.5 + 0.5 * (b - a) / k, 0, 1)
            return b * (1 - h) + a * h - k * h * (1 - h)
        return Shape(f, _bunion(self.bbox, o.bbox))


def _bunion(a, b):
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def _bint(a, b):
    return (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))


def circle(cx, cy, r):
    return Shape(lambda x, y: np.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def ellipse(cx, cy, rx, ry, angle=0.0):
    c, s = np.cos(angle), np.sin(angle)

    def f(x, y):
        px = (x - cx) * c + (y - cy) * s
        py = -(x - cx) * s + (y - cy) * c
        k0 = np.hypot(px / rx, py / ry)
        k1 = np.hypot(px / rx ** 2, py / ry ** 2)
        return k0 * (k0 - 1.0) / np.maximum(k1, 1e-9)
    m = max(rx, ry)
    return Shape(f, (cx - m, cy - m, cx + m, cy + m))


def box(cx, cy, hw, hh, r=0.0, angle=0.0):
    c, s = np.cos(angle), np.sin(angle)

    def f(x, y):
        px = np.abs((x - cx) * c + (y - cy) * s) - (hw - r)
        py = np.abs(-(x - cx) * s + (y - cy) * c) - (hh - r)
        out = np.hypot(np.maximum(px, 0), np.maximum(py, 0))
        return out + np.minimum(np.maximum(px, py), 0) - r
    m = np.hypot(hw, hh)
    return Shape(f, (cx - m, cy - m, cx + m, cy + m))


def capsule(ax, ay, bx, by, r0, r1=None):
    r1 = r0 if r1 is None else r1
    ex, ey = bx - ax, by - ay
    ee = max(ex * ex + ey * ey, 1e-9)

    def f(x, y):
        wx, wy = x - ax, y - ay
        h = np.clip((wx * ex + wy * ey) / ee, 0, 1)
        return np.hypot(wx - ex * h, wy - ey * h) - (r0 + (r1 - r0) * h)
    r = max(r0, r1)
    return Shape(f, (min(ax, bx) - r, min(ay, by) - r, max(ax, bx) + r, max(ay, by) + r))


def polygon(pts):
    pts = np.asarray(pts, float)

    def f(x, y):
        d = np.full(x.shape, np.inf)
        inside = np.zeros(x.shape, bool)
        n = len(pts)
        for i in range(n):
            ax, ay = pts[i]
            bx, by = pts[(i + 1) % n]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            h = np.clip((wx * ex + wy * ey) / max(ex * ex + ey * ey, 1e-12), 0, 1)
            d = np.minimum(d, (wx - ex * h) ** 2 + (wy - ey * h) ** 2)
            c1 = y >= ay
            c2 = y < by
            c3 = ex * wy > ey * wx
            flip = (c1 & c2 & c3) | (~c1 & ~c2 & ~c3)
            inside ^= flip
        return np.where(inside, -1, 1) * np.sqrt(d)
    return Shape(f, (pts[:, 0].min(), pts[:, 1].min(), pts[:, 0].max(), pts[:, 1].max()))


def bezier(p0, p1, p2, p3=None, n=24):
    """Points along a quadratic (or cubic, with p3) Bezier curve."""
    t = np.linspace(0, 1, n)[:, None]
    p0, p1, p2 = map(np.asarray, (p0, p1, p2))
    if p3 is None:
        return (1 - t) ** 2 * p0 + 2 * (1 - t) * t * p1 + t ** 2 * p2
    p3 = np.asarray(p3)
    return (1 - t) ** 3 * p0 + 3 * (1 - t) ** 2 * t * p1 + 3 * (1 - t) * t ** 2 * p2 + t ** 3 * p3


def stroke_path(pts, r0, r1=None, r_mid=None):
    """A union of capsules along a polyline; the width may taper r0 -> (r_mid) -> r1."""
    pts = np.asarray(pts, float)
    r1 = r0 if r1 is None else r1
    n = len(pts) - 1
    t = np.linspace(0, 1, n + 1)
    if r_mid is None:
        rs = r0 + (r1 - r0) * t
    else:
        rs = np.where(t < 0.5, r0 + (r_mid - r0) * t * 2, r_mid + (r1 - r_mid) * (t - 0.5) * 2)
    s = None
    for i in range(n):
        c = capsule(pts[i][0], pts[i][1], pts[i + 1][0], pts[i + 1][1], rs[i], rs[i + 1])
        s = c if s is None else s | c
    return s


def blob(cx, cy, radius_fn, n=160):
    """A closed star-like outline: radius as a function of the angle (radians, 0 = right, y down)."""
    a = np.linspace(0, 2 * np.pi, n, endpoint=False)
    r = np.array([radius_fn(t) for t in a])
    return polygon(np.stack([cx + r * np.cos(a), cy + r * np.sin(a)], 1))


# ------------------------------------------------------------------ canvas


class Canvas:
    def __init__(self, w, h, bg=None):
        self.w, self.h = w, h
        self.rgb = np.zeros((h, w, 3))  # premultiplied
        self.a = np.zeros((h, w))
        self.ox, self.oy, self.s = 0.0, 0.0, 1.0
        self.clip = None  # optional Shape limiting every draw
        if bg is not None:
            self.rgb[:] = bg
            self.a[:] = 1

    def frame(self, ox, oy, s):
        self.ox, self.oy, self.s = ox, oy, s

    def zoom(self, cx, cy, k):
        """Context manager: draws inside are scaled by k about the design point (cx, cy)."""
        canvas = self

        class _Zoom:
            def __enter__(self):
                self.saved = (canvas.ox, canvas.oy, canvas.s)
                ox, oy, s = self.saved
                canvas.frame(ox + s * cx * (1 - k), oy + s * cy * (1 - k), s * k)

            def __exit__(self, *exc):
                canvas.frame(*self.saved)
        return _Zoom()

    def _region(self, bbox, pad=2):
        x0 = int(np.floor(self.ox + bbox[0] * self.s)) - pad
        y0 = int(np.floor(self.oy + bbox[1] * self.s)) - pad
        x1 = int(np.ceil(self.ox + bbox[2] * self.s)) + pad
        y1 = int(np.ceil(self.oy + bbox[3] * self.s)) + pad
        x0, y0 = max(x0, 0), max(y0, 0)
        x1, y1 = min(x1, self.w), min(y1, self.h)
        if x1 <= x0 or y1 <= y0:
            return None
        px, py = np.meshgrid(np.arange(x0, x1) + 0.5, np.arange(y0, y1) + 0.5)
        return (slice(y0, y1), slice(x0, x1)), (px - self.ox) / self.s, (py - self.oy) / self.s

    def coverage(self, shape, bbox=None):
        reg = self._region(bbox or shape.bbox)
        if reg is None:
            return None, None
        sl, x, y = reg
        d = shape.f(x, y) * self.s
        cov = np.clip(0.5 - d, 0, 1)
        if self.clip is not None:
            cov *= np.clip(0.5 - self.clip.f(x, y) * self.s, 0, 1)
        return sl, cov

    def paint(self, sl, cov, color, alpha=1.0):
        if sl is None:
            return
        cov = cov * alpha
        c = cov[..., None]
        if callable(color):
            raise TypeError
        col = np.asarray(color, float)
        self.rgb[sl] = self.rgb[sl] * (1 - c) + col * c
        self.a[sl] = self.a[sl] * (1 - cov) + cov

    def paint_field(self, sl, cov, colors):
        """Like paint, but with a per-pixel colour array of the region's shape."""
        c = cov[..., None]
        self.rgb[sl] = self.rgb[sl] * (1 - c) + colors * c
        self.a[sl] = self.a[sl] * (1 - cov) + cov

    def fill(self, shape, color, alpha=1.0):
        sl, cov = self.coverage(shape)
        self.paint(sl, cov, color, alpha)

    def stroke(self, shape, width, color, alpha=1.0):
        half = width / 2.0
        b = shape.bbox
        edge = Shape(lambda x, y: np.abs(shape.f(x, y)) - half, (b[0] - half, b[1] - half, b[2] + half, b[3] + half))
        self.fill(edge, color, alpha)

    def ink(self, shape, color, width=7.0, ink=INK):
        """Fill with an ink outline, the illustrated look."""
        self.fill(shape, color)
        self.stroke(shape, width, ink)

    def shade(self, shape, color, dx, dy, alpha=1.0):
        """Cel shading: the part of shape not covered by shape moved by (dx, dy)."""
        sl, cov = self.coverage(shape)
        if sl is None:
            return
        _, cov2 = self.coverage(shape.shift(dx, dy), shape.bbox)
        self.paint(sl, cov * (1 - cov2), color, alpha)

    def within(self, clip_shape, fn):
        """Runs fn() with every draw clipped to clip_shape (shading, patterns)."""
        old = self.clip
        self.clip = clip_shape
        try:
            fn()
        finally:
            self.clip = old

    # ------------------------------------------------------------------ output

    def rgba8(self):
        a = self.a
        rgb = np.where(a[..., None] > 1e-6, self.rgb / np.maximum(a[..., None], 1e-6), 0)
        out = np.concatenate([rgb, a[..., None]], axis=2)
        return np.clip(np.round(out * 255), 0, 255).astype(np.uint8)

    def save(self, path, alpha=False):
        img = self.rgba8()
        write_png(path, img if alpha else img[..., :3])


def _paeth(a, b, c):
    p = a.astype(np.int16) + b - c
    pa, pb, pc = np.abs(p - a), np.abs(p - b), np.abs(p - c)
    return np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c)).astype(np.uint8)


def write_png(path, img):
    """Writes an 8-bit RGB or RGBA PNG, choosing a filter per row."""
    h, w, ch = img.shape
    bpp = ch
    flat = img.reshape(h, w * ch).astype(np.uint8)
    prev = np.vstack([np.zeros((1, w * ch), np.uint8), flat[:-1]])
    left = np.hstack([np.zeros((h, bpp), np.uint8), flat[:, :-bpp]])
    upleft = np.hstack([np.zeros((h, bpp), np.uint8), prev[:, :-bpp]])
    cands = [
        flat,
        flat - left,
        flat - prev,
        flat - ((left.astype(np.uint16) + prev) // 2).astype(np.uint8),
        flat - _paeth(left, prev, upleft),
    ]
    cost = np.stack([np.abs(c.astype(np.int8).astype(np.int32)).sum(1) for c in cands])
    best = np.argmin(cost, 0)
    rows = np.empty((h, w * ch + 1), np.uint8)
    rows[:, 0] = best
    for k, c in enumerate(cands):
        m = best == k
        rows[m, 1:] = c[m]
    raw = zlib.compress(rows.tobytes(), 9)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    color_type = 6 if ch == 4 else 2
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, color_type, 0, 0, 0))
    png += chunk(b"IDAT", raw)
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)

