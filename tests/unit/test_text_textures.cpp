// Text layout, metrics and placement against the project's font.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "host/errors.h"
#include "textures/canvas.h"
#include "textures/textures.h"
#include "texture_fixtures.h"

using velk::Textures;
using namespace velk::canvas;

namespace {

class TextTextures : public ::testing::Test {
protected:
    void SetUp() override {
        font_ = velk::testing::ProjectFont();
        if (font_.empty()) GTEST_SKIP() << "the project's font is not in the source tree";
        collection_ = Textures::LoadFontCollection(factory_, font_);
    }

    Textures::TextBlock Lay(const std::string& text, float size = 128, float spacing = 1.0f, int32_t alignment = 0) {
        return Textures::LayOutText(factory_, *collection_, text, size, spacing, alignment);
    }

    static Picture Paint(const Textures::TextBlock& b) {
        return PaintPicture(uint32_t(b.Placement.Width), uint32_t(b.Placement.Height), [&](Canvas& c) {
            Textures::PaintText(c, *b.Layout, b.Placement.OriginX, b.Placement.OriginY);
        });
    }

    // Columns [first, last] holding ink within rows [top, bottom); -1 when none.
    static std::pair<int, int> InkColumns(const Picture& p, int top, int bottom) {
        int first = -1, last = -1;
        for (int y = std::max(top, 0); y < std::min(bottom, int(p.Height)); ++y)
            for (int x = 0; x < int(p.Width); ++x)
                if (p.Texel(x, y)[3] > 0) {
                    if (first < 0 || x < first) first = x;
                    last = std::max(last, x);
                }
        return {first, last};
    }

    std::vector<uint8_t> font_;
    TextFactory factory_;
    std::unique_ptr<FontCollection> collection_;
};

}  // namespace

TEST(TextTexturePlacement, PadsOverhangsAndRoundsUp) {
    // Negative overhangs count as 0; the pad is 0.1 x the font size.
    OverhangMetrics none{-3, -2, -1, -4};
    Textures::TextPlacement p = Textures::PlaceText(128, none, 100, 50);
    EXPECT_FLOAT_EQ(p.OriginX, 12.8f);
    EXPECT_FLOAT_EQ(p.OriginY, 12.8f);
    EXPECT_EQ(p.Width, std::ceil(100 + 12.8f + 12.8f));
    EXPECT_EQ(p.Height, std::ceil(50 + 12.8f + 12.8f));

    // A positive left overhang moves the origin right by it; right and bottom
    // overhangs widen the texture.
    OverhangMetrics ink{4.5f, 3, 2, 1};
    p = Textures::PlaceText(256, ink, 100, 50);
    EXPECT_FLOAT_EQ(p.OriginX, 4.5f + 25.6f);
    EXPECT_FLOAT_EQ(p.OriginY, 3 + 25.6f);
    EXPECT_EQ(p.Width, std::ceil(((100 + (4.5f + 25.6f)) + 2) + 25.6f));

    // 812.01 rounds up to 813, 812 stays 812 (pad 0 at font size 0).
    EXPECT_EQ(Textures::PlaceText(0, {}, 812.01f, 812.0f).Width, 813.0f);
    EXPECT_EQ(Textures::PlaceText(0, {}, 812.01f, 812.0f).Height, 812.0f);
}

TEST(TextTexturePlacement, SumsInSinglePrecisionInTheirOrder) {
    // ((w + x) + r) + pad in float differs from the exact sum here: 2^24 + 1 is
    // not representable, so each addition of 1 is lost.
    OverhangMetrics o{0, 0, 1, 0};
    Textures::TextPlacement p = Textures::PlaceText(10, o, 16777216.0f, 1);  // pad 1
    EXPECT_EQ(p.Width, 16777216.0f);
}

TEST_F(TextTextures, FontCollectionNeedsAUsableFont) {
    EXPECT_FALSE(collection_->FamilyName(0).empty());
    // Bytes that hold no font: either the collection has no family, or the
    // platform rejects the bytes outright with its own error.
    for (std::vector<uint8_t> bytes : {std::vector<uint8_t>{}, std::vector<uint8_t>{'n', 'o', 't', ' ', 'a'}})
        velk::testing::ExpectNoUsableFont([&] { Textures::LoadFontCollection(factory_, bytes); });
}

TEST_F(TextTextures, ShorterLinePlacedByAlignment) {
    // Two lines of the same letter, so their ink edges are comparable.
    const std::string text = "MMMM\nMM";
    for (int32_t alignment : {0, 1, 2}) {
        Textures::TextBlock b = Lay(text, 128, 1.0f, alignment);
        TextMetrics m = b.Layout->GetMetrics();
        ASSERT_EQ(m.LineCount, 2u);
        Picture p = Paint(b);
        int oy = int(b.Placement.OriginY), half = int(m.Height / 2);
        auto [l1, r1] = InkColumns(p, oy, oy + half - 2);
        auto [l2, r2] = InkColumns(p, oy + half + 2, oy + int(m.Height));
        ASSERT_GE(l1, 0);
        ASSERT_GE(l2, 0);
        EXPECT_GT(r1 - l1, r2 - l2 + 100) << "the first line is the longer one";
        if (alignment == 0) {
            EXPECT_NEAR(l2, l1, 1) << "leading";
        } else if (alignment == 1) {
            EXPECT_NEAR(r2, r1, 1) << "trailing: flush right";
        } else {
            EXPECT_NEAR(l2 + r2, l1 + r1, 2) << "centred";
        }
    }
}

TEST_F(TextTextures, TrailingSpaceWidensTheBoxButNotTheTexture) {
    Textures::TextBlock plain = Lay("MM", 128, 1.0f, 2);
    Textures::TextBlock spaced = Lay("MM ", 128, 1.0f, 2);
    TextMetrics a = plain.Layout->GetMetrics(), b = spaced.Layout->GetMetrics();
    EXPECT_FLOAT_EQ(b.Width, a.Width);
    EXPECT_GT(b.WidthIncludingTrailingWhitespace, a.WidthIncludingTrailingWhitespace + 10);
    EXPECT_FLOAT_EQ(b.LayoutWidth, b.WidthIncludingTrailingWhitespace);
    EXPECT_EQ(spaced.Placement.Width, plain.Placement.Width);
    EXPECT_EQ(spaced.Placement.Height, plain.Placement.Height);
}

TEST_F(TextTextures, InkIsNeverCutAndKeepsThePad) {
    // Every text of the table's alphabet at 256: the ink lies inside the texture,
    // no nearer to the left and top edges than the pad allows.
    const std::string texts[] = {"TOVELMARK\nVELK", "jÅgyäöüÄÖ!", "Velkt", " - Doddel\nfår välja"};
    for (const std::string& text : texts) {
        Textures::TextBlock b = Lay(text, 256, 0.95f, 2);
        OverhangMetrics o = b.Layout->GetOverhangMetrics();
        EXPECT_FLOAT_EQ(b.Placement.OriginX, std::max(o.Left, 0.0f) + 25.6f) << text;
        EXPECT_FLOAT_EQ(b.Placement.OriginY, std::max(o.Top, 0.0f) + 25.6f) << text;
        Picture p = Paint(b);
        auto [first, last] = InkColumns(p, 0, int(p.Height));
        ASSERT_GE(first, 0) << text;
        EXPECT_GE(first, 25) << text;
        EXPECT_LE(last, int(p.Width) - 1 - 24) << text;
        int top = -1, bottom = -1;
        for (uint32_t y = 0; y < p.Height; ++y)
            for (uint32_t x = 0; x < p.Width; ++x)
                if (p.Texel(x, y)[3]) {
                    if (top < 0) top = int(y);
                    bottom = int(y);
                }
        EXPECT_GE(top, 25) << text;
        EXPECT_LE(bottom, int(p.Height) - 1 - 24) << text;
    }
}

TEST_F(TextTextures, PositiveLeftOverhangShiftsTheOrigin) {
    // A glyph whose ink reaches left of its origin: found among the letters the
    // demo's texts use, or this font has none.
    for (const char* candidate : {"j", "J", "f", "y", "g", "A", "V", "W", "T", "v", "w", "Å", "Ä", "/", "("}) {
        Textures::TextBlock b = Lay(candidate, 256, 1.0f, 0);
        OverhangMetrics o = b.Layout->GetOverhangMetrics();
        if (o.Left <= 0) continue;
        EXPECT_FLOAT_EQ(b.Placement.OriginX, o.Left + 25.6f);
        Picture p = Paint(b);
        int first = InkColumns(p, 0, int(p.Height)).first;
        EXPECT_NEAR(first, 25.6, 1.0) << candidate << ": the ink starts one pad from the edge";
        return;
    }
    GTEST_SKIP() << "no glyph of this font reaches left of its origin";
}

TEST_F(TextTextures, LineSpacingScalesLinesAndBaseline) {
    float one = Lay("M", 128, 1.0f).Layout->GetMetrics().Height;
    ASSERT_GT(one, 100.0f);
    for (float s : {0.72f, 0.95f, 1.0f}) {
        Textures::TextBlock b = Lay("M\nM\nM", 128, s);
        EXPECT_NEAR(b.Layout->GetMetrics().Height, 3 * s * one, 0.01f) << s;
    }
    // The first baseline lies 0.8 x s x ascent below the top: at s = 1 the ink of
    // a capital starts lower than at s = 0.72.
    Textures::TextBlock loose = Lay("M", 128, 1.0f), tight = Lay("M", 128, 0.72f);
    float looseTop = -loose.Layout->GetOverhangMetrics().Top;
    float tightTop = -tight.Layout->GetOverhangMetrics().Top;
    EXPECT_GT(looseTop, tightTop);
}

TEST_F(TextTextures, EveryTexelIsPremultipliedWhite) {
    Picture p = Paint(Lay("Tjabbe Scrolltext här!", 128, 1.0f, 2));
    size_t inked = 0, partial = 0;
    for (uint32_t y = 0; y < p.Height; ++y)
        for (uint32_t x = 0; x < p.Width; ++x) {
            const uint8_t* t = p.Texel(x, y);
            ASSERT_EQ(t[0], t[3]);
            ASSERT_EQ(t[1], t[3]);
            ASSERT_EQ(t[2], t[3]);
            inked += t[3] == 255;
            partial += t[3] > 0 && t[3] < 255;
        }
    EXPECT_GT(inked, 1000u);
    VELK_SKIP_WITHOUT_TEXT_ANTIALIASING();
    EXPECT_GT(partial, 100u) << "edges are antialiased";
}

TEST_F(TextTextures, OneLinePerCharacterColumn) {
    Textures::TextBlock b = Lay("N\nu\n \nj", 128, 0.72f, 2);
    TextMetrics m = b.Layout->GetMetrics();
    EXPECT_EQ(m.LineCount, 4u);
    float one = Lay("N", 128, 0.72f).Layout->GetMetrics().Height;
    EXPECT_NEAR(m.Height, 4 * one, 0.01f);
}

TEST_F(TextTextures, BaselinesSnapToWholePixels) {
    // Capitals stand on the baseline, so the lowest row of each line's ink is
    // fully covered somewhere once the baseline lies on a pixel edge. Sizes and
    // spacings that put the unsnapped baselines at fractional rows.
    struct Case {
        float Size, Spacing;
    } cases[] = {{128, 1.0f}, {128, 0.72f}, {100, 0.95f}, {77, 0.72f}};
    for (const Case& c : cases) {
        Picture p = Paint(Lay("HIL\nHIL\nHIL", c.Size, c.Spacing, 0));
        std::vector<int> bottoms;  // the last row of each run of inked rows
        bool inRun = false;
        for (uint32_t y = 0; y <= p.Height; ++y) {
            bool inked = false;
            for (uint32_t x = 0; y < p.Height && x < p.Width && !inked; ++x) inked = p.Texel(x, y)[3] > 0;
            if (inRun && !inked) bottoms.push_back(int(y) - 1);
            inRun = inked;
        }
        ASSERT_EQ(bottoms.size(), 3u) << c.Size << " " << c.Spacing;
        for (int row : bottoms) {
            uint8_t most = 0;
            for (uint32_t x = 0; x < p.Width; ++x) most = std::max(most, p.Texel(x, uint32_t(row))[3]);
            EXPECT_EQ(int(most), 255) << "size " << c.Size << ", spacing " << c.Spacing << ": soft bottom edge at row "
                                 << row;
        }
    }
}
