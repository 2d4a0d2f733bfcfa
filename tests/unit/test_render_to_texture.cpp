// Textures on the GPU: render to texture, the three makers, the twenty textures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/content.h"
#include "host/embedded_store.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "render/gpu.h"
#include "textures/textures.h"
#include "texture_files.h"
#include "texture_fixtures.h"

using velk::Textures;
using namespace velk::gpu;

namespace {

class RenderToTexture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        device_ = CreateDevice();
        context_ = device_->ImmediateContext();
    }
    static void TearDownTestSuite() {
        context_.reset();
        device_.reset();
    }

    static Texture2DDesc Desc(const Textures::View& view) { return view->Resource()->GetDesc(); }

    // Mip level `level` read back: premultiplied B, G, R, A bytes, rows top first.
    static std::vector<uint8_t> ReadLevel(const Textures::View& view, uint32_t level, uint32_t& w, uint32_t& h) {
        return velk::test::ReadLevel(*device_, *context_, *view->Resource(), level, w, h);
    }

    static std::shared_ptr<Device> device_;
    static std::shared_ptr<DeviceContext> context_;
};
std::shared_ptr<Device> RenderToTexture::device_;
std::shared_ptr<DeviceContext> RenderToTexture::context_;

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

TEST_F(RenderToTexture, SizesAreCutToWholePixels) {
    EXPECT_EQ(Textures::ToWholePixels(-3.0f), 0u);
    EXPECT_EQ(Textures::ToWholePixels(std::nanf("")), 0u);
    EXPECT_EQ(Textures::ToWholePixels(0.99f), 0u);
    EXPECT_EQ(Textures::ToWholePixels(4294967296.0f), 4294967295u);
    EXPECT_EQ(Textures::ToWholePixels(1e30f), 4294967295u);
    EXPECT_EQ(Textures::ToWholePixels(4294967040.0f), 4294967040u);  // the largest float below 2^32

    auto view = Textures::RenderToTexture(*device_, *context_, 10.9f, 4.2f, [](velk::canvas::Canvas&) {});
    EXPECT_EQ(Desc(view).Width, 10u);
    EXPECT_EQ(Desc(view).Height, 4u);
    EXPECT_EQ(Desc(view).MipLevels, 4u);  // 10 x 4, 5 x 2, 2 x 1, 1 x 1
}

TEST_F(RenderToTexture, ZeroAndOversizedSizesFail) {
    const float max = float(device_->MaxTextureDimension());
    auto refused = [&](float w, float h) {
        int calls = 0;
        EXPECT_THROW(Textures::RenderToTexture(*device_, *context_, w, h, [&](velk::canvas::Canvas&) { ++calls; }),
                     velk::ComException)
            << w << " x " << h;
        EXPECT_EQ(calls, 0) << w << " x " << h;
    };
    for (auto [w, h] : {std::pair{0.0f, 10.0f}, {10.0f, 0.5f}, {-5.0f, 10.0f}}) refused(w, h);
    VELK_SKIP_WITHOUT_TEXTURE_SIZE_LIMIT();
    for (auto [w, h] : {std::pair{max + 1, 10.0f}, {10.0f, 1e20f}}) refused(w, h);
}

TEST_F(RenderToTexture, EmptyPaintIsTransparentBlackOnEveryLevel) {
    int calls = 0;
    auto view = Textures::RenderToTexture(*device_, *context_, 37, 20, [&](velk::canvas::Canvas&) { ++calls; });
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(Desc(view).MipLevels, 6u);
    for (uint32_t level = 0; level < 6; ++level) {
        uint32_t w, h;
        std::vector<uint8_t> pixels = ReadLevel(view, level, w, h);
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t v) { return v == 0; })) << "level " << level;
    }
}

TEST_F(RenderToTexture, HalfTransparentWhiteIsStoredPremultiplied) {
    VELK_SKIP_WITHOUT_SVG_DOCUMENTS();
    const std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1 1\">"
        "<rect width=\"1\" height=\"1\" fill=\"#ffffff\" fill-opacity=\"0.5\"/></svg>";
    auto view = Textures::RenderToTexture(*device_, *context_, 16, 16, [&](velk::canvas::Canvas& c) {
        Textures::PaintSvg(c, Bytes(svg), {16, 16});
    });
    for (uint32_t level : {0u, 2u, 4u}) {
        uint32_t w, h;
        std::vector<uint8_t> p = ReadLevel(view, level, w, h);
        for (size_t i = 0; i < p.size(); i += 4) {
            ASSERT_NEAR(p[i + 3], 128, 1) << "level " << level;
            ASSERT_EQ(p[i], p[i + 3]);
            ASSERT_EQ(p[i + 1], p[i + 3]);
            ASSERT_EQ(p[i + 2], p[i + 3]);
        }
    }
}

TEST_F(RenderToTexture, LogoSizedTextureHasTwelveLevels) {
    auto view = Textures::RenderToTexture(*device_, *context_, 3573, 2517, [](velk::canvas::Canvas&) {});
    EXPECT_EQ(Desc(view).Width, 3573u);
    EXPECT_EQ(Desc(view).Height, 2517u);
    EXPECT_EQ(Desc(view).MipLevels, 12u);
    // The view alone keeps the texture alive.
    std::weak_ptr<Texture2D> texture = view->Resource();
    view.reset();
    EXPECT_TRUE(texture.expired());
}

TEST_F(RenderToTexture, ImagesAndSvgAtTheirSizes) {
    auto png = velk::testing::EncodePng(5, 3, true, [](uint32_t x, uint32_t y) -> velk::testing::Rgba {
        if (x == 4 && y == 2) return {0, 255, 0, 255};
        return {};
    });
    auto image = Textures::FromImage(*device_, *context_, png);
    EXPECT_EQ(Desc(image).Width, 5u);
    EXPECT_EQ(Desc(image).Height, 3u);
    uint32_t w, h;
    std::vector<uint8_t> p = ReadLevel(image, 0, w, h);
    EXPECT_EQ(p[(2 * 5 + 4) * 4 + 1], 255);
    EXPECT_EQ(p[(2 * 5 + 4) * 4 + 3], 255);
    EXPECT_EQ(p[3], 0);
    EXPECT_THROW(Textures::FromImage(*device_, *context_, Bytes("no image")), velk::ComException);
    // The viewBox is read before anything is drawn.
    EXPECT_THROW(Textures::FromSvg(*device_, *context_, Bytes("<svg/>"), 100), velk::InvalidDataException);

    VELK_SKIP_WITHOUT_SVG_DOCUMENTS();
    const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 4 3\"/>";
    auto logo = Textures::FromSvg(*device_, *context_, Bytes(svg), 100);
    EXPECT_EQ(Desc(logo).Width, 136u);
    EXPECT_EQ(Desc(logo).Height, 102u);
}

TEST_F(RenderToTexture, TextTextureMatchesItsLayout) {
    std::vector<uint8_t> font = velk::testing::ProjectFont();
    if (font.empty()) GTEST_SKIP() << "the project's font is not in the source tree";
    velk::canvas::TextFactory factory;
    auto collection = Textures::LoadFontCollection(factory, font);
    Textures::TextBlock block = Textures::LayOutText(factory, *collection, "Velk\nvelka", 128, 1.0f, 1);
    auto view = Textures::FromText(*device_, *context_, "Velk\nvelka", font, 128, 1.0f, 1);
    EXPECT_EQ(float(Desc(view).Width), block.Placement.Width);
    EXPECT_EQ(float(Desc(view).Height), block.Placement.Height);
    velk::testing::ExpectNoUsableFont([&] { Textures::FromText(*device_, *context_, "x", Bytes("nope"), 128, 1.0f, 0); });
}

TEST_F(RenderToTexture, TheTwentyTexturesFromTheAssets) {
    VELK_SKIP_WITHOUT_SVG_DOCUMENTS();  // the logo is made first
    std::vector<uint8_t> font = velk::testing::ProjectFont();
    if (font.empty() || !std::filesystem::exists(std::string(VELK_SOURCE_DIR) + "/Artifacts/Graphics/tovelmark_velk.svg"))
        GTEST_SKIP() << "the assets are not in the source tree";
    velk::Content::InitializeForTest(std::string(VELK_SOURCE_DIR), velk::EmbeddedStore());
    velk::TextureTable table = velk::TextureTable::Make(*device_, *context_, font);
    std::vector<Textures::View> views = table.SlotOrder();
    ASSERT_EQ(views.size(), 20u);

    velk::canvas::TextFactory factory;
    auto collection = Textures::LoadFontCollection(factory, font);
    for (const velk::TextureEntry& e : velk::TextureTable::CreationOrder()) {
        Texture2DDesc d = Desc(views[e.Slot]);
        std::printf("t%u %s: %u x %u, %u levels\n", e.Slot, e.Name, d.Width, d.Height, d.MipLevels);
        uint32_t levels = 1;
        for (uint32_t m = std::max(d.Width, d.Height); m > 1; m >>= 1) ++levels;
        EXPECT_EQ(d.MipLevels, levels) << e.Name;
        if (e.Source == velk::TextureSource::Text) {
            Textures::TextBlock b = Textures::LayOutText(factory, *collection, velk::TextureTable::TextOf(e),
                                                         e.FontSize, e.LineSpacing, e.Alignment);
            EXPECT_EQ(float(d.Width), b.Placement.Width) << e.Name;
            EXPECT_EQ(float(d.Height), b.Placement.Height) << e.Name;
        }
    }
    EXPECT_EQ(Desc(views[0]).Width, 3573u);  // the logo at height 2048
    EXPECT_EQ(Desc(views[0]).Height, 2517u);
    {
        // The logo's plate reaches every edge of its texture: the document is fitted
        // to the texture, not drawn at a size of its own in a corner.
        uint32_t w, h;
        std::vector<uint8_t> logo = ReadLevel(views[0], 0, w, h);
        for (auto [x, y] : {std::pair{0u, 0u}, {w - 1, 0u}, {0u, h - 1}, {w - 1, h - 1}, {w / 2, h - 1}, {w - 1, h / 2}})
            EXPECT_EQ(logo[(size_t(y) * w + x) * 4 + 3], 255) << "logo alpha at " << x << ", " << y;
    }
    EXPECT_EQ(Desc(views[19]).Width, 1600u);  // pictures at their own size
    EXPECT_EQ(Desc(views[19]).Height, 1000u);
    EXPECT_EQ(Desc(views[2]).Width, 1000u);
    EXPECT_EQ(Desc(views[2]).Height, 1400u);

    std::weak_ptr<ShaderResourceView> first = views[0];
    views.clear();
    table.Release();
    EXPECT_TRUE(first.expired());
}
