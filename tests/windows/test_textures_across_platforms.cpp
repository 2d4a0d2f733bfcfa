// The twenty textures the Windows layers make (WIC, Direct2D, DirectWrite, Direct3D
// 11 mip generation) against the ones the Linux layers made, which
// scripts/test-windows writes into linux-reference/textures/ of the Windows build
// directory with the Linux frame tool before these tests run.
//
// - A picture is the same bit for bit at every mip level.
// - A text has the Linux width and height, except where DirectWrite measures ink on
//   glyph boxes rounded out to whole pixels (Wine): one pixel taller at most. Its
//   coverage (alpha at level 0) is compared by the correlation of the two after the
//   best alignment by up to a pixel each way: the two rasterisers antialias
//   differently, so the pixels are not equal. The same measure is taken of the
//   Windows text turned upside down and mirrored, which must fall below the bar:
//   each run shows that the bar tells a text from its flipped or mirrored self.
// - The logo (an SVG document) has the Linux size and passes the same measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "host/content.h"
#include "host/embedded_store.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/gpu.h"
#include "unit/texture_files.h"
#include "unit/texture_fixtures.h"
#include "windows/wine.h"

using namespace velk;

namespace {

// Correlation of coverage a text must reach, and its flipped and mirrored forms
// must stay below.
constexpr double kSameText = 0.9;

std::string ReferenceFile(const TextureEntry& entry) {
    return std::string(VELK_BINARY_DIR) + "\\linux-reference\\textures\\" + entry.Name + ".tex";
}

// Alpha of level 0, one byte a pixel.
struct Coverage {
    int W, H;
    std::vector<uint8_t> A;
    int At(int x, int y) const { return A[size_t(y) * W + x]; }
};

Coverage CoverageOf(const test::TextureLevels& t, bool upsideDown = false, bool mirrored = false) {
    Coverage c{int(t.Width), int(t.Height), std::vector<uint8_t>(size_t(t.Width) * t.Height)};
    for (int y = 0; y < c.H; ++y)
        for (int x = 0; x < c.W; ++x)
            c.A[size_t(y) * c.W + x] =
                t.Levels[0][(size_t(upsideDown ? c.H - 1 - y : y) * c.W + (mirrored ? c.W - 1 - x : x)) * 4 + 3];
    return c;
}

// Pearson correlation of a (shifted by dx, dy) and b over the pixels they share.
double Correlation(const Coverage& a, const Coverage& b, int dx, int dy) {
    double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int y = std::max(0, dy); y < std::min(a.H, b.H + dy); ++y)
        for (int x = std::max(0, dx); x < std::min(a.W, b.W + dx); ++x) {
            double u = a.At(x, y), v = b.At(x - dx, y - dy);
            n += 1, sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v;
        }
    double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    return va > 0 && vb > 0 ? (sab - sa * sb / n) / std::sqrt(va * vb) : 0;
}

// The best correlation over alignments within a pixel of the two top-left corners,
// and of any of the extra rows of the taller.
double Similarity(const Coverage& a, const Coverage& b) {
    double best = -1;
    for (int dy = -1; dy <= 1 + std::max(0, a.H - b.H); ++dy)
        for (int dx = -1; dx <= 1; ++dx) best = std::max(best, Correlation(a, b, dx, dy));
    return best;
}

class TexturesAcrossPlatforms : public ::testing::Test {
protected:
    void SetUp() override {
        Content::InitializeForTest(std::string(VELK_SOURCE_DIR), EmbeddedStore());
        device_ = gpu::CreateDevice();
        context_ = device_->ImmediateContext();
    }
    void TearDown() override {
        context_.reset();
        device_.reset();
        Content::InitializeForTest(std::nullopt, EmbeddedStore());
    }

    void ExpectSameShape(const TextureEntry& entry, const test::TextureLevels& windows,
                         const test::TextureLevels& onLinux) {
        Coverage reference = CoverageOf(onLinux);
        double same = Similarity(CoverageOf(windows), reference);
        double upsideDown = Similarity(CoverageOf(windows, true, false), reference);
        double mirrored = Similarity(CoverageOf(windows, false, true), reference);
        std::printf("%s: correlation %.4f, upside down %.4f, mirrored %.4f\n", entry.Name, same, upsideDown, mirrored);
        EXPECT_GE(same, kSameText) << entry.Name;
        EXPECT_LT(upsideDown, kSameText) << entry.Name << ": the measure does not tell the text upside down";
        EXPECT_LT(mirrored, kSameText) << entry.Name << ": the measure does not tell the text mirrored";
    }

    // The entry made here against its Linux texture; skips the test where nothing can be drawn.
    void Compare(const TextureEntry& entry) {
        test::TextureLevels onLinux;
        try {
            onLinux = test::ReadTextureFile(ReferenceFile(entry));
        } catch (const Exception& e) {
            FAIL() << e.what() << " (scripts/test-windows writes the Linux textures before the tests run)";
        }
        std::vector<uint8_t> font = velk::testing::ProjectFont();
        ASSERT_FALSE(font.empty());
        TextureTable::View view;
        try {
            view = TextureTable::MakeEntry(*device_, *context_, entry, font);
        } catch (const ComException& e) {
            // Wine before 10 has no ID2D1DeviceContext5, so it draws nothing.
            if (e.Code() == static_cast<int32_t>(0x80004002u) && test::RunningUnderWine()) {
                GTEST_SKIP() << "Wine: " << e.what();
            }
            throw;
        }
        test::TextureLevels windows = test::ReadLevels(*device_, *context_, *view);
        std::printf("%s: Windows %ux%u, Linux %ux%u, %zu levels\n", entry.Name, windows.Width, windows.Height,
                    onLinux.Width, onLinux.Height, windows.Levels.size());

        if (entry.Source == TextureSource::Image) {
            ASSERT_EQ(windows.Width, onLinux.Width);
            ASSERT_EQ(windows.Height, onLinux.Height);
            ASSERT_EQ(windows.Levels.size(), onLinux.Levels.size());
            for (size_t level = 0; level < windows.Levels.size(); ++level) {
                const auto& w = windows.Levels[level];
                const auto& l = onLinux.Levels[level];
                size_t differing = 0, first = w.size();
                for (size_t i = 0; i < w.size(); ++i)
                    if (w[i] != l[i]) {
                        ++differing;
                        first = std::min(first, i);
                    }
                EXPECT_EQ(differing, 0u) << entry.Name << " level " << level << ": first at pixel "
                                         << first / 4 % windows.LevelWidth(level) << ", "
                                         << first / 4 / windows.LevelWidth(level);
            }
            return;
        }
        ASSERT_EQ(windows.Width, onLinux.Width);
        const uint32_t taller = velk::testing::InkRoundedToWholePixels() ? 1 : 0;
        if (entry.Source == TextureSource::Svg) {
            ASSERT_EQ(windows.Height, onLinux.Height);
        }
        ASSERT_GE(windows.Height, onLinux.Height);
        ASSERT_LE(windows.Height, onLinux.Height + taller);
        ExpectSameShape(entry, windows, onLinux);
    }

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::DeviceContext> context_;
};

}  // namespace

// Every picture and text; the logo is tested alone, since Wine cannot make it.
TEST_F(TexturesAcrossPlatforms, PicturesAndTexts) {
    for (const TextureEntry& entry : TextureTable::CreationOrder()) {
        if (entry.Source == TextureSource::Svg) continue;
        SCOPED_TRACE(entry.Name);
        Compare(entry);
        if (IsSkipped()) return;
    }
}

TEST_F(TexturesAcrossPlatforms, Logo) {
    VELK_SKIP_UNDER_WINE("Direct2D has no SVG documents (CreateSvgDocument returns E_NOTIMPL)");
    for (const TextureEntry& entry : TextureTable::CreationOrder())
        if (entry.Source == TextureSource::Svg) Compare(entry);
}
