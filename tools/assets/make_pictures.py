#!/usr/bin/env python3
"""Draws the demo's five pictures into Artifacts/Graphics/.

  tumlo.png, q9.png, vispel.png   the three crew portraits, 1000 x 1400 each
  datavelk.png                    the spray can, transparent background
  tant_velk_alla_tre_v4.png       the closing picture: the three together

Everything is procedural: signed-distance shapes in the demo's palette (key
colour #754c29, cream, near-black ink and a few accents), drawn by paint.py.
The characters are this demo's own invention. q9.png keeps a wide patch of
plain ink around texture coordinates (0.80, 0.53), exactly the ink the demo
draws: the crew scene zooms 90x into that spot and must end on that ink. vispel.png is shown cut to its top 68 %,
so her bust sits above that line.

Usage: make_pictures.py [output directory]   (needs python3-numpy)
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from paint import (  # noqa: E402
    AMBER, CREAM, CREAM_SH, INK, KEY, KEY_DARK, KEY_DEEP, KEY_LIGHT, KEY_PALE, RED, RED_DARK, SCREEN_INK,
    SKIN, SKIN_DEEP, SKIN_SH, STEEL, STEEL_SH, WHITE, Canvas, Shape, bezier, blob, box, capsule,
    circle, ellipse, mix, polygon, stroke_path,
)

W, H = 1000, 1400  # portrait design size; all three share this pixel width
Q9_DARK_SPOT = (0.80, 0.53)
LINE = 7.0


# ------------------------------------------------------------------ backgrounds


def halftone(cv, x0, y0, x1, y1, base, dot, spacing=26, grow=lambda u, v: v):
    """A printed halftone field: dots whose size follows grow(u, v) in 0..1."""
    reg = cv._region((x0, y0, x1, y1), pad=0)
    sl, x, y = reg
    u = (x - x0) / (x1 - x0)
    v = (y - y0) / (y1 - y0)
    # rotated dot grid
    a = np.radians(30)
    gx = (x * np.cos(a) + y * np.sin(a)) / spacing
    gy = (-x * np.sin(a) + y * np.cos(a)) / spacing
    fx, fy = gx - np.round(gx), gy - np.round(gy)
    d = np.hypot(fx, fy) * spacing
    r = np.clip(grow(u, v), 0, 1) * spacing * 0.62
    cov = np.clip(0.5 - (d - r) * cv.s, 0, 1)
    cv.paint(sl, np.ones_like(cov), base)
    cv.paint(sl, cov, dot)


def sunburst(cv, cx, cy, x0, y0, x1, y1, c0, c1, rays=18, phase=0.0):
    reg = cv._region((x0, y0, x1, y1), pad=0)
    sl, x, y = reg
    ang = np.arctan2(y - cy, x - cx) + phase
    s = np.sin(ang * rays)
    r = np.hypot(x - cx, y - cy)
    # anti-aliased ray edges: distance to the zero crossing in pixels
    d = s / np.maximum(np.abs(np.cos(ang * rays)) * rays / np.maximum(r, 1), 1e-3)
    cov = np.clip(0.5 + d * cv.s, 0, 1)
    cv.paint(sl, np.ones_like(cov), c0)
    cv.paint(sl, cov, c1)


# ------------------------------------------------------------------ face parts


def eye(cv, cx, cy, w, h, iris, look=(0, 0), lid=0.0, tilt=0.0, lash=False, glare=True):
    white = ellipse(cx, cy, w, h, tilt)
    cv.fill(white, WHITE)

    def inner():
        ir = h * 0.95
        ix, iy = cx + look[0] * w * 0.4, cy + look[1] * h * 0.3
        cv.fill(circle(ix, iy, ir), iris)
        cv.fill(circle(ix, iy, ir * 0.5), INK)
        if glare:
            cv.fill(circle(ix - ir * 0.35, iy - ir * 0.4, ir * 0.22), WHITE)
        if lid > 0:  # upper lid closing down: a heavy, stern look
            cv.fill(box(cx, cy - h * 2 + lid * h * 2, w * 1.3, h * 1.2, angle=tilt), SKIN_SH)
    cv.within(white, inner)
    cv.stroke(white, 6, INK)
    top = bezier((cx - w * 1.1, cy + h * 0.1), (cx, cy - h * (1.6 - lid)), (cx + w * 1.1, cy + h * 0.1))
    cv.fill(stroke_path(top, 3, 3, 8 if not lash else 10), INK)
    if lash:
        cv.fill(stroke_path([(cx + w * 0.95, cy - h * 0.1), (cx + w * 1.35, cy - h * 0.6)], 6, 2), INK)


def brow(cv, pts, r0=6, r1=4, rmid=14, col=INK):
    cv.fill(stroke_path(bezier(*pts), r0, r1, rmid), col)


# ------------------------------------------------------------------ Tumlo


def draw_tumlo(cv):
    """Tumlo the VelkKniv: a grinning deckhand in a knitted cap, striped
    shirt, neckerchief and a big kitchen knife raised beside his face."""
    # body: striped shirt under an open key-colour jacket
    torso = polygon([(40, 1400), (90, 1010), (230, 905), (400, 870), (600, 870), (770, 905),
                     (910, 1010), (960, 1400)])
    cv.fill(torso, CREAM)

    def stripes():
        for k in range(10):
            y = 905 + k * 56
            cv.fill(box(500, y, 520, 14), KEY_DARK)
    cv.within(torso, stripes)
    cv.shade(torso, mix(CREAM, KEY, 0.25), -40, 0, 0.5)
    jacket_l = polygon([(40, 1400), (90, 1010), (230, 905), (360, 880), (420, 1000), (380, 1400)])
    jacket_r = polygon([(960, 1400), (910, 1010), (770, 905), (640, 880), (580, 1000), (620, 1400)])
    for j in (jacket_l, jacket_r):
        cv.ink(j, KEY, LINE)
        cv.shade(j, KEY_DARK, 30, 0)
    cv.stroke(torso, LINE, INK)
    # neck
    neck = box(500, 820, 95, 90, 30)
    cv.ink(neck, SKIN, LINE)
    cv.fill(box(500, 790, 95, 40, 20), SKIN_SH)
    # neckerchief
    scarf = polygon([(380, 860), (620, 860), (560, 930), (500, 1050), (440, 930)])
    cv.ink(scarf, RED, LINE)
    cv.shade(scarf, RED_DARK, 20, -12)
    cv.ink(ellipse(500, 880, 46, 32), RED, LINE)
    # ears
    for sx in (-1, 1):
        e = ellipse(500 + sx * 205, 560, 44, 66)
        cv.ink(e, SKIN, LINE)
        cv.fill(stroke_path(bezier((500 + sx * 200, 530), (500 + sx * 222, 560), (500 + sx * 205, 595)), 6), SKIN_SH)
    # head: a broad, slightly square face
    head = ellipse(500, 540, 200, 250) | box(500, 640, 175, 140, 110)
    cv.fill(head, SKIN)
    cv.shade(head, SKIN_SH, -38, -10)
    # stubble: a field of small dots on jaw and chin
    jaw = (box(500, 700, 185, 110, 100) & head) - ellipse(500, 690, 70, 45)
    rng = np.random.default_rng(3)

    def stubble():
        for _ in range(200):
            x, y = rng.uniform(320, 680), rng.uniform(615, 800)
            cv.fill(circle(x, y, rng.uniform(1.6, 2.6)), SKIN_DEEP, 0.8)
    cv.within(jaw, stubble)
    cv.stroke(head, LINE, INK)
    # scar across the left cheek
    cv.fill(stroke_path([(355, 585), (410, 640)], 4), SKIN_DEEP)
    for t in (0.25, 0.5, 0.75):
        x, y = 355 + 55 * t, 585 + 55 * t
        cv.fill(stroke_path([(x + 12, y - 12), (x - 12, y + 12)], 3), SKIN_DEEP)
    # eyes, brows
    eye(cv, 420, 515, 42, 26, KEY, look=(0.5, 0.1))
    eye(cv, 585, 515, 42, 26, KEY, look=(0.5, 0.1))
    brow(cv, ((362, 482), (410, 462), (470, 478)), 8, 5, 13)
    brow(cv, ((532, 474), (590, 456), (648, 472)), 5, 8, 13)
    # nose: a big round one
    nose = ellipse(505, 590, 44, 38)
    cv.ink(nose, SKIN, 6)
    cv.shade(nose, SKIN_SH, -10, -8)
    cv.fill(ellipse(484, 614, 9, 5, 0.5), INK)
    cv.fill(ellipse(526, 614, 9, 5, -0.5), INK)
    # a wide grin with a missing tooth
    mouth = polygon(list(bezier((390, 660), (500, 650), (620, 650))) + list(bezier((620, 650), (520, 770), (390, 660))))
    cv.fill(mouth, INK)

    def teeth():
        cv.fill(box(505, 655, 130, 24), WHITE)
        for x in (430, 470, 540, 580):
            cv.fill(box(x, 668, 2, 16), INK)
        cv.fill(box(505, 665, 15, 22), INK)  # the gap
        cv.fill(ellipse(505, 740, 60, 30), RED)
    cv.within(mouth, teeth)
    cv.stroke(mouth, 6, INK)
    cv.fill(stroke_path(bezier((372, 650), (385, 658), (392, 676)), 4), INK)
    cv.fill(stroke_path(bezier((638, 640), (628, 652), (622, 670)), 4), INK)
    # knitted cap with a turned-up brim and a bobble
    cap = polygon(bezier((285, 420), (275, 110), (725, 110), (715, 420), 30))
    cv.ink(cap, KEY, LINE)

    def knit():
        for k in range(-8, 9):
            x = 500 + k * 34
            cv.fill(stroke_path([(x, 140), (x, 420)], 5), KEY_DARK)
    cv.within(cap, knit)
    cv.shade(cap, KEY_DARK, 40, 10, 0.7)
    cv.stroke(cap, LINE, INK)
    brim = box(500, 398, 235, 50, 30, angle=-0.03)
    cv.ink(brim, KEY_LIGHT, LINE)

    def rib():
        for k in range(-12, 13):
            x = 500 + k * 20
            cv.fill(stroke_path([(x, 340), (x, 460)], 3.5), KEY)
    cv.within(brim, rib)
    cv.stroke(brim, LINE, INK)
    bob = blob(500, 170, lambda a: 62 + 7 * np.sin(a * 9))
    cv.ink(bob, CREAM, LINE)
    cv.shade(bob, CREAM_SH, -12, -12)
    # tufts of hair from under the cap
    for sx in (-1, 1):
        tuft = polygon([(500 + sx * 230, 455), (500 + sx * 260, 520), (500 + sx * 210, 505), (500 + sx * 225, 560), (500 + sx * 190, 470)])
        cv.ink(tuft, INK, 4)
    # the knife, raised in his right fist at the left of the picture
    blade = polygon(list(bezier((150, 770), (120, 460), (175, 240), n=20)) + [(185, 250), (225, 420), (225, 770)])
    cv.ink(blade, STEEL, LINE)
    cv.shade(blade, STEEL_SH, 22, 0)
    cv.fill(stroke_path([(165, 300), (190, 720)], 4), WHITE)
    guard = box(188, 790, 80, 20, 9)
    cv.ink(guard, KEY_DARK, LINE)
    handle = box(188, 880, 34, 80, 14)
    cv.ink(handle, KEY_DEEP, LINE)
    for y in (850, 900):
        cv.fill(circle(188, y, 8), STEEL)
    fist = box(188, 890, 78, 70, 40)
    cv.ink(fist, SKIN, LINE)
    for k in range(4):
        cv.fill(stroke_path([(125, 850 + k * 30), (245, 852 + k * 30)], 3.5), SKIN_DEEP)
    cv.shade(fist, SKIN_SH, -14, -10)
    cv.stroke(fist, LINE, INK)
    sleeve = polygon([(110, 950), (265, 950), (300, 1400), (60, 1400)])
    cv.ink(sleeve, KEY, LINE)
    cv.shade(sleeve, KEY_DARK, 30, 0)
    cv.stroke(sleeve, LINE, INK)


# ------------------------------------------------------------------ Q9


def draw_q9(cv):
    """Q9 Der VelkFuehrer: a stern commander with a peaked cap, a monocle and
    a huge black greatcoat whose right shoulder is one plain field of ink."""
    # greatcoat: wide dark shoulders with a high collar
    coat = polygon([(0, 1400), (0, 850), (120, 720), (300, 640), (420, 620), (580, 620), (700, 625),
                    (860, 600), (1000, 640), (1000, 1400)])
    # the coat is the demo's own ink: the crew scene ends on this field full
    # screen and the tunnel opens out of that ink, so the two meet without a step
    cv.fill(coat, SCREEN_INK)
    # the left side catches a little light; the right side stays plain ink
    cv.within(coat, lambda: cv.fill(polygon([(0, 860), (110, 735), (290, 660), (330, 1400), (0, 1400)]), KEY_DEEP))
    # lapels and a row of buttons on the left half only
    lap_l = polygon([(420, 640), (500, 830), (420, 1400), (300, 1400), (340, 700)])
    cv.ink(lap_l, KEY_DEEP, 6, ink=KEY_DARK)
    for k in range(4):
        cv.ink(circle(380, 930 + k * 120, 16), KEY_LIGHT, 5)
    # armband on the left sleeve
    band = polygon([(20, 1080), (190, 1030), (215, 1110), (40, 1165)])
    cv.ink(band, KEY, 6, ink=KEY_DARK)
    cv.fill(circle(118, 1098, 26), CREAM)
    cv.fill(circle(118, 1098, 12), KEY)
    # shirt and tie in the V
    vee = polygon([(430, 640), (570, 640), (500, 830)])
    cv.fill(vee, CREAM)
    cv.fill(polygon([(480, 650), (520, 650), (530, 760), (500, 800), (470, 760)]), RED)
    # high collar points
    for sx in (-1, 1):
        col = polygon([(500 + sx * 70, 660), (500 + sx * 200, 550), (500 + sx * 225, 650), (500 + sx * 140, 715)])
        cv.ink(col, INK, 6, ink=KEY_DEEP)
    # the head, a little larger than drawn so that the three faces match in size
    with cv.zoom(500, 700, 1.1):
        # neck
        neck = box(500, 600, 85, 70, 25)
        cv.ink(neck, SKIN, LINE)
        cv.fill(box(500, 560, 85, 30, 12), SKIN_SH)
        # ears, tucked behind the head
        for sx in (-1, 1):
            e = ellipse(500 + sx * 168, 445, 30, 52)
            cv.ink(e, SKIN, LINE)
            cv.fill(stroke_path(bezier((500 + sx * 165, 415), (500 + sx * 182, 445), (500 + sx * 168, 478)), 5), SKIN_SH)
        # head: long and angular, a lantern jaw
        head = polygon([(330, 330), (340, 560), (400, 640), (500, 665), (600, 640), (660, 560), (670, 330)]).smooth_or(
            ellipse(500, 360, 172, 190), 30)
        cv.fill(head, SKIN)
        cv.shade(head, SKIN_SH, 40, -10)
        cv.stroke(head, LINE, INK)
        # stern eyes under heavy lids; a monocle on his left (picture right) eye
        eye(cv, 430, 425, 36, 20, KEY_LIGHT, look=(-0.3, 0), lid=0.45)
        eye(cv, 575, 425, 36, 20, KEY_LIGHT, look=(-0.3, 0), lid=0.45)
        mono = circle(575, 425, 52)
        cv.fill(mono, CREAM, 0.2)
        cv.stroke(mono, 10, KEY_LIGHT)
        cv.stroke(mono.grow(5.5), 3.5, INK)
        cv.stroke(mono.grow(-5.5), 3, INK)
        # one brow scowling low, the other raised over the monocle
        brow(cv, ((372, 400), (420, 378), (480, 402)), 9, 6, 14)
        brow(cv, ((520, 372), (575, 338), (630, 360)), 6, 9, 14)
        chain = bezier((630, 450), (700, 560), (660, 700), n=30)
        for k in range(0, 30, 2):
            cv.ink(circle(chain[k][0], chain[k][1], 6), KEY_LIGHT, 3)
        # nose: long and straight
        cv.fill(stroke_path(bezier((505, 430), (522, 510), (530, 545)), 5), INK)
        cv.fill(stroke_path(bezier((530, 548), (510, 560), (486, 552)), 4), INK)
        # moustache: a broad bristly bar
        stache = polygon(list(bezier((400, 600), (500, 545), (600, 600))) + [(590, 612), (500, 585), (410, 612)])
        cv.ink(stache, INK, 4)
        cv.fill(stroke_path(bezier((450, 630), (500, 622), (550, 630)), 4), INK)
        # cheek lines and a scowl
        cv.fill(stroke_path(bezier((392, 520), (398, 575), (420, 610)), 3.5), SKIN_DEEP)
        cv.fill(stroke_path(bezier((612, 520), (606, 575), (584, 610)), 3.5), SKIN_DEEP)
        cv.fill(stroke_path([(490, 372), (494, 400)], 3), SKIN_DEEP)
        cv.fill(stroke_path([(512, 372), (508, 400)], 3), SKIN_DEEP)
        # peaked cap, tall crown
        crown = polygon(list(bezier((300, 300), (250, 120), (500, 80), n=16)) + list(bezier((500, 80), (760, 110), (705, 300), n=16)))
        cv.ink(crown, KEY, LINE)
        cv.shade(crown, KEY_DARK, 40, 0)
        cv.stroke(crown, LINE, INK)
        band = box(500, 300, 210, 34, 10)
        cv.ink(band, INK, 5, ink=KEY_DEEP)
        cv.fill(box(500, 300, 205, 6), KEY_DARK)
        visor = polygon(list(bezier((280, 318), (500, 400), (720, 318), n=20)) + list(bezier((720, 318), (500, 350), (280, 318), n=20)))
        cv.ink(visor, INK, 5, ink=KEY_DEEP)
        cv.fill(stroke_path(bezier((330, 338), (500, 378), (670, 338)), 3), KEY_DARK)
        # cap badge: a cream cog
        cog = blob(500, 215, lambda a: 42 + 9 * np.sign(np.sin(a * 8)) * (np.abs(np.sin(a * 8)) ** 0.3))
        cv.ink(cog, CREAM, 5)
        cv.fill(circle(500, 215, 16), KEY)


# ------------------------------------------------------------------ Vispel


def draw_vispel(cv):
    """Vispel, shewolf of the Velk: a fierce young woman under a wolf-pelt hood
    with ears, wild hair, amber eyes and war paint; a fur collar closes her
    bust above the 68 % crop line (y = 952)."""
    # the pelt cloak behind everything
    cloak = blob(500, 640, lambda a: 430 + 30 * np.sin(a * 13) + (90 if np.sin(a) > 0.2 else 0))
    cv.ink(cloak, KEY_DARK, LINE)
    # lower body (mostly below the crop line): a laced leather bodice
    body = polygon([(70, 1400), (120, 960), (300, 840), (700, 840), (880, 960), (930, 1400)])
    cv.ink(body, KEY_DEEP, LINE)
    bodice = polygon([(330, 1400), (360, 980), (500, 930), (640, 980), (670, 1400)])
    cv.ink(bodice, KEY, LINE)
    for k in range(6):
        y = 1020 + k * 60
        cv.fill(stroke_path([(460, y), (540, y + 30)], 4), CREAM)
        cv.fill(stroke_path([(540, y), (460, y + 30)], 4), CREAM)
    # hair falling behind the shoulders
    hair_back = blob(500, 520, lambda a: 330 + 45 * np.sin(a * 11) + (150 * np.sin(a) if np.sin(a) > 0 else 0))
    cv.ink(hair_back, INK, 5, ink=KEY_DEEP)
    # neck and shoulders
    neck = box(500, 680, 74, 90, 30)
    cv.ink(neck, SKIN, LINE)
    cv.fill(box(500, 630, 74, 45, 20), SKIN_SH)
    shoulders = polygon(list(bezier((140, 940), (190, 760), (420, 735), n=16)) + list(bezier((580, 735), (810, 760), (860, 940), n=16)))
    cv.ink(shoulders, SKIN, LINE)
    cv.shade(shoulders, SKIN_SH, -30, 20)
    cv.stroke(shoulders, LINE, INK)
    # necklace of teeth
    cv.fill(stroke_path(bezier((360, 736), (500, 800), (640, 736)), 2.5), INK)
    for k in range(9):
        t = (k - 4) / 4
        x, y = 500 + t * 130, 742 + 26 * (1 - t * t)
        cv.ink(polygon([(x - 8, y), (x + 8, y), (x, y + 26)]), CREAM, 3.5)
    # fur collar across the bust, above the crop line: a row of fluffy tufts
    curve = bezier((110, 885), (500, 815), (890, 885), n=21)
    collar = None
    for k, (x, y) in enumerate(curve):
        tuft = blob(x, y, lambda a, k=k: 58 + 7 * np.sin(a * 7 + k * 1.7))
        collar = tuft if collar is None else collar | tuft
    cv.ink(collar, KEY_PALE, LINE)
    cv.shade(collar, KEY_LIGHT, 0, -22)
    for k, (x, y) in enumerate(curve[1:-1:2]):
        cv.fill(stroke_path(bezier((x - 20, y - 20), (x - 5, y + 5), (x - 18, y + 30)), 3), KEY_LIGHT)
        cv.fill(stroke_path(bezier((x + 22, y - 14), (x + 10, y + 8), (x + 22, y + 28)), 3), KEY_LIGHT)
    cv.stroke(collar, LINE, INK)
    # face: narrow, pointed chin
    head = ellipse(500, 460, 165, 210) | polygon([(350, 480), (500, 676), (650, 480)]).grow(6)
    cv.fill(head, SKIN)
    cv.shade(head, SKIN_SH, 36, -6)
    cv.stroke(head, LINE, INK)
    # war paint: three key-colour stripes on each cheek
    for sx in (-1, 1):
        for k in range(3):
            y = 505 + k * 24
            cv.within(head, lambda y=y, sx=sx: cv.fill(
                stroke_path([(500 + sx * 165, y - 10), (500 + sx * 95, y + 6)], 7, 3), RED))
    # eyes: narrow, amber, looking sideways
    eye(cv, 430, 450, 40, 20, AMBER, look=(0.6, 0), tilt=0.18, lash=False)
    eye(cv, 570, 450, 40, 20, AMBER, look=(0.6, 0), tilt=-0.18, lash=True)
    brow(cv, ((375, 420), (425, 395), (478, 418)), 5, 7, 11)
    brow(cv, ((522, 418), (575, 395), (625, 420)), 7, 5, 11)
    # nose and lips
    cv.fill(stroke_path(bezier((500, 480), (490, 540), (505, 560)), 3.5), SKIN_DEEP)
    cv.fill(stroke_path(bezier((478, 565), (500, 574), (522, 565)), 3.5), INK)
    lips = polygon(list(bezier((440, 612), (500, 590), (560, 612))) + list(bezier((560, 612), (500, 648), (440, 612))))
    cv.ink(lips, RED, 4.5)
    cv.fill(stroke_path(bezier((445, 612), (500, 606), (555, 612)), 3), RED_DARK)
    # a fang peeking out
    cv.ink(polygon([(525, 616), (541, 616), (533, 640)]), WHITE, 3)
    # fringe of wild hair over the forehead
    fringe = polygon([(320, 420), (340, 300), (420, 250), (520, 240), (620, 265), (680, 330), (690, 430),
                      (650, 360), (640, 410), (595, 330), (570, 380), (530, 320), (500, 372), (460, 320),
                      (430, 380), (395, 330), (365, 400)])
    cv.ink(fringe, INK, 5, ink=KEY_DEEP)
    for k in range(6):
        x = 380 + k * 50
        cv.fill(stroke_path(bezier((x, 270), (x + 18, 300), (x + 8, 340)), 2.5), KEY_DARK)
    # locks framing the face
    for sx in (-1, 1):
        lock = polygon([(500 + sx * 160, 330), (500 + sx * 215, 470), (500 + sx * 200, 640), (500 + sx * 240, 760),
                        (500 + sx * 150, 660), (500 + sx * 165, 500)])
        cv.ink(lock, INK, 5, ink=KEY_DEEP)
    # the wolf hood: muzzle over the brow, ears pricked up
    hood = polygon(list(bezier((290, 420), (250, 150), (500, 110), n=18)) + list(bezier((500, 110), (750, 150), (710, 420), n=18))
                   + [(660, 330), (600, 270), (500, 255), (400, 270), (340, 330)])
    cv.ink(hood, KEY_LIGHT, LINE)
    cv.shade(hood, KEY, 30, 10)
    cv.stroke(hood, LINE, INK)
    for sx in (-1, 1):
        ear = polygon([(500 + sx * 120, 160), (500 + sx * 215, 10), (500 + sx * 235, 210)])
        cv.ink(ear, KEY_LIGHT, LINE)
        cv.fill(polygon([(500 + sx * 145, 165), (500 + sx * 205, 60), (500 + sx * 215, 190)]), KEY_DARK)
    snout = ellipse(500, 250, 105, 60)
    cv.ink(snout, KEY_PALE, LINE)
    cv.fill(ellipse(500, 205, 40, 26), INK)  # the pelt's nose
    for sx in (-1, 1):  # the pelt's sewn-shut eyes
        cv.fill(stroke_path(bezier((500 + sx * 75, 175), (500 + sx * 100, 165), (500 + sx * 125, 180)), 5), INK)
        for k in range(3):
            x = 500 + sx * (85 + k * 15)
            cv.fill(stroke_path([(x, 162), (x, 184)], 2.5), INK)
    # pelt teeth along the hood's lower edge
    for k in range(8):
        x = 355 + k * 41
        y = 290 - 35 * np.sin(np.pi * k / 7)
        cv.ink(polygon([(x - 11, y), (x + 11, y), (x, y + 30)]), WHITE, 3.5)


# ------------------------------------------------------------------ portrait sheets


def portrait(draw, bg):
    cv = Canvas(W, H)
    bg(cv)
    draw(cv)
    return cv


def bg_tumlo(cv):
    halftone(cv, 0, 0, W, H, CREAM, KEY_PALE, grow=lambda u, v: 0.15 + 0.75 * v)
    cv.fill(circle(500, 520, 420), mix(CREAM, KEY_PALE, 0.15))
    cv.stroke(circle(500, 520, 420), 6, KEY_LIGHT)


def bg_q9(cv):
    sunburst(cv, 500, 420, 0, 0, W, H, KEY, KEY_LIGHT, rays=14)
    cv.fill(circle(500, 420, 330), mix(KEY_LIGHT, CREAM, 0.25))
    cv.stroke(circle(500, 420, 330), 10, INK)


def bg_vispel(cv):
    halftone(cv, 0, 0, W, H, CREAM, KEY_LIGHT, grow=lambda u, v: 0.08 + 0.55 * np.hypot(u - 0.5, v - 0.35))
    # a big pale moon behind her head
    cv.fill(circle(500, 430, 400), mix(CREAM, KEY_PALE, 0.35))
    cv.fill(circle(380, 330, 60), mix(CREAM, KEY_PALE, 0.55))
    cv.fill(circle(660, 560, 45), mix(CREAM, KEY_PALE, 0.55))


# ------------------------------------------------------------------ spray can


def letters_velk(cv, cx, cy, h, col):
    """The word VELK in blocky stencil strokes, h tall, centred on (cx, cy)."""
    w = h * 0.62
    t = h * 0.11  # half stroke width
    gap = h * 0.2
    x0 = cx - 2 * w - 1.5 * gap * 0.5
    shapes = []
    # V
    x = x0
    shapes.append(capsule(x + t, cy - h / 2 + t, x + w / 2, cy + h / 2 - t, t) | capsule(x + w - t, cy - h / 2 + t, x + w / 2, cy + h / 2 - t, t))
    # E
    x += w + gap * 0.5
    shapes.append(box(x + t, cy, t, h / 2) | box(x + w / 2, cy - h / 2 + t, w / 2, t) | box(x + w * 0.45, cy, w * 0.4, t)
                  | box(x + w / 2, cy + h / 2 - t, w / 2, t))
    # L
    x += w + gap * 0.5
    shapes.append(box(x + t, cy, t, h / 2) | box(x + w / 2, cy + h / 2 - t, w / 2, t))
    # K
    x += w + gap * 0.5
    shapes.append(box(x + t, cy, t, h / 2) | capsule(x + 2 * t, cy + t * 0.3, x + w - t, cy - h / 2 + t, t)
                  | capsule(x + 2.6 * t, cy - t * 0.6, x + w - t, cy + h / 2 - t, t))
    word = shapes[0] | shapes[1] | shapes[2] | shapes[3]
    # stencil bridges: a thin horizontal cut through the middle of every letter
    cut = box(cx, cy - h * 0.22, 4 * w + 2 * gap, h * 0.035)
    cv.fill(word - cut, col)


def draw_can(cv):
    """The DataVelk spray can, 240 x 600, upright, on transparency."""
    cx = 120
    body = box(cx, 365, 96, 215, 22)
    shoulder = ellipse(cx, 160, 96, 46) & box(cx, 140, 96, 40)
    dome = ellipse(cx, 140, 58, 34)
    neck = box(cx, 108, 30, 18, 5)
    cap = box(cx, 70, 46, 36, 10)
    nozzle = box(cx + 36, 52, 22, 9, 4)
    cv.ink(body | shoulder, KEY, 8)

    def bands():
        cv.fill(box(cx, 372, 110, 112), CREAM)
        cv.fill(box(cx, 250, 110, 9), KEY_DARK)
        cv.fill(box(cx, 494, 110, 9), KEY_DARK)
        cv.fill(box(cx, 562, 110, 22), INK)
        # the label: an ink splat with a drip, and the word
        splat = blob(cx, 330, lambda a: 40 + 11 * np.sin(a * 7) + 5 * np.sin(a * 13 + 1))
        cv.fill(splat | capsule(cx + 18, 340, cx + 18, 395, 9, 6) | circle(cx - 50, 295, 8) | circle(cx + 52, 360, 6), INK)
        cv.fill(circle(cx - 10, 318, 10), CREAM)
        letters_velk(cv, cx, 440, 46, RED)
        # cylinder shading: a dark side and a bright streak
        cv.fill(box(cx + 72, 365, 32, 260), INK, 0.28)
        cv.fill(box(cx + 50, 365, 8, 260), INK, 0.12)
        cv.fill(box(cx - 60, 365, 11, 260), WHITE, 0.55)
        cv.fill(box(cx - 42, 365, 4, 260), WHITE, 0.35)
    cv.within(body | shoulder, bands)
    cv.stroke(body | shoulder, 8, INK)
    cv.ink(dome, STEEL, 7)
    cv.within(dome, lambda: cv.fill(ellipse(cx - 20, 128, 18, 10), WHITE, 0.8))
    cv.ink(neck, STEEL_SH, 7)
    cv.ink(cap, CREAM, 7)
    cv.within(cap, lambda: (cv.fill(box(cx + 30, 70, 16, 40), CREAM_SH), cv.fill(box(cx - 28, 70, 5, 40), WHITE, 0.8)))
    cv.ink(nozzle, INK, 4)
    cv.fill(circle(cx + 55, 52, 4), KEY_DARK)


# ------------------------------------------------------------------ closing picture


def closing_picture(out):
    w, h = 1600, 1000
    cv = Canvas(w, h)
    sunburst(cv, 800, 360, 0, 0, w, h, KEY, KEY_LIGHT, rays=20, phase=0.1)
    cv.fill(box(800, 930, 820, 120), KEY_DARK)
    cv.fill(box(800, 812, 820, 6), INK)
    # the three, side by side: Tumlo left, Q9 in the middle and a little taller, Vispel right
    for draw, ox, oy, s in ((draw_q9, 520, 240, 0.56), (draw_tumlo, 40, 300, 0.54), (draw_vispel, 1020, 290, 0.54)):
        cv.frame(ox, oy, s)
        # a soft shadow on the floor under each
        cv.fill(ellipse(500, 1400, 430, 60), INK, 0.35)
        draw(cv)
    cv.frame(0, 0, 1)
    # the spray can standing in front, between Tumlo and Q9
    cv.frame(490, 690, 0.5)
    cv.fill(ellipse(120, 590, 110, 24), INK, 0.4)
    draw_can(cv)
    cv.frame(0, 0, 1)
    # a cream border, like a print
    border = box(800, 500, 800, 500) - box(800, 500, 770, 470, 8)
    cv.fill(border, CREAM)
    cv.stroke(box(800, 500, 770, 470, 8), 5, INK)
    cv.save(os.path.join(out, "tant_velk_alla_tre_v4.png"))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "Artifacts", "Graphics")
    os.makedirs(out, exist_ok=True)
    which = set(sys.argv[2:]) or {"tumlo", "q9", "vispel", "datavelk", "closing"}
    if "tumlo" in which:
        portrait(draw_tumlo, bg_tumlo).save(os.path.join(out, "tumlo.png"))
    if "q9" in which:
        cv = portrait(draw_q9, bg_q9)
        cv.save(os.path.join(out, "q9.png"))
        # the zoom target must be plain ink well beyond the screen's reach
        u, v = Q9_DARK_SPOT
        cx, cy, r = int(u * W), int(v * H), int(0.06 * W)
        patch = cv.rgba8()[cy - r : cy + r, cx - r : cx + r, :3].astype(int)
        if np.abs(patch - np.round(SCREEN_INK * 255)).max() > 0:
            raise SystemExit("q9.png: the patch around Q9_DARK_SPOT is not exactly the demo's ink")
    if "vispel" in which:
        portrait(draw_vispel, bg_vispel).save(os.path.join(out, "vispel.png"))
    if "datavelk" in which:
        cv = Canvas(240, 600)
        draw_can(cv)
        cv.save(os.path.join(out, "datavelk.png"), alpha=True)
    if "closing" in which:
        closing_picture(out)
    print("wrote", sorted(which), "to", os.path.normpath(out))


if __name__ == "__main__":
    main()
