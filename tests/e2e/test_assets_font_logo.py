#!/usr/bin/python3
"""Properties of the stencil font and the logo that the program relies on."""
import os
import re
import subprocess
import sys
import unittest

from fontTools.ttLib import TTFont

ROOT = os.environ.get('VELK_SOURCE_DIR') or os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
FONT = os.path.join(ROOT, 'Artifacts', 'Fonts', 'velk_stencil', 'VelkStencil.ttf')
LOGO = os.path.join(ROOT, 'Artifacts', 'Graphics', 'tovelmark_velk.svg')

# Every text the program sets in the stencil font.
TEXTS = [
    "TOVELMARK VELK",
    "TOVELMARK\nVELK",
    "Tumlo - the VelkKniv",
    "Q9 - Der VelkFührer",
    "Vispel - Shewolf of the Velk",
    "Tjabbe Scrolltext here you motherfuckers!!! Bulky Bodgerz är ena jävla mesar. Smaka vårat velka stål!",
    "Nu jävlar nu kör vi nu dör vi! Jag ska velka hela Grubbmo lilla mamma!",
    "Velkt som snus. Velkgudarnas gåva till det utvalda Tjärnbyfolket!",
    "Velk lyser glöden\ni våra velka själar",
    "Vår dagliga velk\ngiv oss idag",
    "Velk velka vindar\noch vatten",
    "Velk utan sol\nOm själen själv\nfår välja",
    "Velkt",
    "Concept\nImplementation\n - Doddel",
    "Audio\n - Spindrel",
]
REPERTOIRE = ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 !.,-'?:"
              "\u00e5\u00e4\u00f6\u00c5\u00c4\u00d6\u00fc")


def windows_name(font, name_id):
    rec = font['name'].getName(name_id, 3, 1, 0x409)
    return None if rec is None else rec.toUnicode()


class FontTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.font = TTFont(FONT)

    def test_family_and_style_names(self):
        for name_id, expected in ((1, 'Velk Stencil'), (16, 'Velk Stencil'), (2, 'Regular'), (17, 'Regular')):
            with self.subTest(name_id=name_id):
                self.assertEqual(windows_name(self.font, name_id), expected)
        self.assertIn('glyf', self.font, 'a TrueType-outline font')
        self.assertEqual(self.font.getGlyphOrder()[0], '.notdef')

    def test_every_character_is_mapped_to_a_drawn_glyph(self):
        cmap = self.font['cmap'].getcmap(3, 1)
        self.assertIsNotNone(cmap, 'Windows Unicode BMP cmap')
        self.assertEqual(cmap.format, 4)
        glyf = self.font['glyf']
        chars = sorted(set(REPERTOIRE + ''.join(TEXTS)) - {'\n'})
        for ch in chars:
            with self.subTest(char=ch):
                self.assertIn(ord(ch), cmap.cmap)
                name = cmap.cmap[ord(ch)]
                advance = self.font['hmtx'][name][0]
                self.assertGreater(advance, 0)
                if ch != ' ':
                    self.assertGreater(glyf[name].numberOfContours, 0, 'glyph has ink')
        # letters that differ must not share one glyph
        self.assertEqual(len({cmap.cmap[ord(c)] for c in REPERTOIRE}), len(REPERTOIRE))

    def test_one_consistent_set_of_vertical_metrics(self):
        hhea, os2, head = self.font['hhea'], self.font['OS/2'], self.font['head']
        self.assertEqual(hhea.lineGap, 0)
        self.assertEqual(os2.sTypoLineGap, 0)
        self.assertEqual(hhea.ascent, os2.sTypoAscender)
        self.assertEqual(hhea.ascent, os2.usWinAscent)
        self.assertEqual(hhea.descent, os2.sTypoDescender)
        self.assertEqual(-hhea.descent, os2.usWinDescent)
        self.assertTrue(os2.fsSelection & (1 << 7), 'USE_TYPO_METRICS')
        # no ink outside the win metrics, where Windows would clip it
        self.assertLessEqual(head.yMax, os2.usWinAscent)
        self.assertGreaterEqual(head.yMin, -os2.usWinDescent)

    def test_d_r_and_w_are_each_one_piece_without_a_closed_counter(self):
        # Parted at their joints, d read as "cl", w as "vv" and r as a stem beside
        # a loose arch. Drawn at 96 px: one piece of ink, and the background all
        # one region (the stencil's bridges leave no closed counter).
        for ch in 'drwW':
            with self.subTest(char=ch):
                ink = glyph_bitmap(ch, 96)
                self.assertEqual(regions(ink, True), 1, 'pieces of ink')
                self.assertEqual(regions(ink, False), 1, 'background regions')


def glyph_bitmap(text, size):
    """The text set in the font by ImageMagick, as rows of booleans (True: ink),
    with a margin of background all round."""
    out = subprocess.run(['convert', '-background', 'white', '-fill', 'black', '-font', FONT, '-pointsize', str(size),
                          'label:' + text, '-bordercolor', 'white', '-border', '4', '-depth', '8', 'pgm:-'],
                         check=True, capture_output=True).stdout
    magic, w, h, depth, data = out.split(maxsplit=4)
    w, h = int(w), int(h)
    data = data[-w * h:]
    return [[data[y * w + x] < 128 for x in range(w)] for y in range(h)]


def regions(bitmap, value):
    """How many 4-connected regions of pixels equal to value the bitmap holds."""
    h, w = len(bitmap), len(bitmap[0])
    seen = [[False] * w for _ in range(h)]
    count = 0
    for y0 in range(h):
        for x0 in range(w):
            if bitmap[y0][x0] != value or seen[y0][x0]:
                continue
            count += 1
            seen[y0][x0] = True
            stack = [(x0, y0)]
            while stack:
                x, y = stack.pop()
                for nx, ny in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
                    if 0 <= nx < w and 0 <= ny < h and not seen[ny][nx] and bitmap[ny][nx] == value:
                        seen[ny][nx] = True
                        stack.append((nx, ny))
    return count


class LogoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(LOGO, 'rb') as f:
            cls.data = f.read()
        cls.text = cls.data.decode('utf-8')

    def test_view_box(self):
        self.assertIn('viewBox="0 0 1191 839"', self.text)
        first = re.search(r'viewBox\s*=\s*"([^"]*)"\s*', self.text)
        self.assertEqual(first.group(1), '0 0 1191 839')
        # No width or height on the root: SVG renderers (Direct2D's among them) draw
        # a root of absolute size at that size, not fitted to the texture.
        root = re.search(r'<svg\b[^>]*>', self.text).group(0)
        self.assertNotRegex(root, r'\s(width|height)\s*=', root)

    def test_opaque_plate_with_the_emblem_cut_out_in_the_middle(self):
        # 1191 x 839 drawn at a tenth of its size: alpha per pixel
        w, h = 119, 84
        png = subprocess.run(['rsvg-convert', '-w', str(w), '-h', str(h), LOGO],
                             check=True, capture_output=True).stdout
        raw = subprocess.run(['convert', 'png:-', '-depth', '8', 'rgba:-'], input=png,
                             check=True, capture_output=True).stdout
        self.assertEqual(len(raw), w * h * 4)
        alpha = [[raw[(y * w + x) * 4 + 3] for x in range(w)] for y in range(h)]
        # a tile shows the middle 56 % of the width: everything outside it is plate
        margin = int(w * 0.22)
        for y in range(h):
            for x in list(range(margin)) + list(range(w - margin, w)):
                self.assertEqual(alpha[y][x], 255, (x, y))
        for y in (0, h - 1):
            self.assertTrue(all(a == 255 for a in alpha[y]), 'top and bottom rows are plate')
        holes = sum(a == 0 for row in alpha for a in row)
        self.assertGreater(holes, w * h * 0.08, 'the emblem is cut out (alpha 0)')


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
