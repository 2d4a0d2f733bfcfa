// The Windows 2D layer's own checks: where the compatibility header puts the
// methods it declares, what the imaging component decodes (read from the format
// converter, so that it needs no drawing), and the line spacing of text layouts.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/com_streams.h"
#include "host/errors.h"
#include "host/texture_table.h"
#include "host/windows_sdk_compat.h"
#include "textures/canvas.h"
#include "textures/canvas_windows_impl.h"
#include "textures/textures.h"
#include "unit/texture_fixtures.h"

namespace {

// The vtable slot of a virtual method. g++ follows the Itanium C++ ABI here too:
// a pointer to a virtual member function holds 1 + the slot's offset in bytes.
template <typename Method>
size_t SlotOf(Method method) {
    static_assert(sizeof(Method) == 2 * sizeof(void*));
    uintptr_t raw = 0;
    std::memcpy(&raw, &method, sizeof raw);
    EXPECT_EQ(raw & 1, 1u) << "not a virtual method";
    return (raw - 1) / sizeof(void*);
}

// The premultiplied B, G, R, A bytes of a decoded image, rows top first.
std::vector<uint8_t> DecodedPixels(const velk::canvas::Image& image) {
    const UINT stride = image.Width() * 4;
    std::vector<uint8_t> pixels(size_t(stride) * image.Height());
    HRESULT hr = image.Get().Converter->CopyPixels(nullptr, stride, UINT(pixels.size()), pixels.data());
    EXPECT_EQ(hr, S_OK);
    return pixels;
}

std::unique_ptr<velk::canvas::Image> Decode(const std::vector<uint8_t>& bytes) {
    velk::ByteStream stream(bytes);
    return velk::canvas::Image::Decode(stream);
}

}  // namespace

TEST(SdkCompat, CalledMethodsSitAtTheirDocumentedSlots) {
    using CreateBitmapFromDxgiSurface =
        HRESULT (STDMETHODCALLTYPE ID2D1DeviceContext::*)(IDXGISurface*, const D2D1_BITMAP_PROPERTIES1*, ID2D1Bitmap1**);
    using FillOpacityMask = void (STDMETHODCALLTYPE ID2D1DeviceContext::*)(ID2D1Bitmap*, ID2D1Brush*,
                                                                           const D2D1_RECT_F*, const D2D1_RECT_F*);
    struct Case {
        const char* method;
        size_t slot, documented;
    } cases[] = {
        // MinGW-w64's own ID2D1DeviceContext, on which the chain builds: slots 57 to 91.
        {"ID2D1DeviceContext::CreateBitmapFromDxgiSurface",
         SlotOf(static_cast<CreateBitmapFromDxgiSurface>(&ID2D1DeviceContext::CreateBitmapFromDxgiSurface)), 62},
        {"ID2D1DeviceContext::SetTarget", SlotOf(&ID2D1DeviceContext::SetTarget), 74},
        {"ID2D1DeviceContext::FillOpacityMask",
         SlotOf(static_cast<FillOpacityMask>(&ID2D1DeviceContext::FillOpacityMask)), 91},
        {"ID2D1DeviceContext1, first", SlotOf(&ID2D1DeviceContext1::Placeholder_CreateFilledGeometryRealization), 92},
        {"ID2D1DeviceContext2, first", SlotOf(&ID2D1DeviceContext2::Placeholder_CreateInk), 95},
        {"ID2D1DeviceContext3, first", SlotOf(&ID2D1DeviceContext3::Placeholder_CreateSpriteBatch), 106},
        {"ID2D1DeviceContext4, first", SlotOf(&ID2D1DeviceContext4::Placeholder_CreateSvgGlyphStyle), 108},
        {"ID2D1DeviceContext5::CreateSvgDocument", SlotOf(&ID2D1DeviceContext5::CreateSvgDocument), 115},
        {"ID2D1DeviceContext5::DrawSvgDocument", SlotOf(&ID2D1DeviceContext5::DrawSvgDocument), 116},
        {"ID2D1DeviceContext5, last",
         SlotOf(&ID2D1DeviceContext5::Placeholder_CreateColorContextFromSimpleColorProfile), 118},
        {"ID2D1SvgDocument, first", SlotOf(&ID2D1SvgDocument::Placeholder_SetViewportSize), 4},
        {"ID2D1SvgDocument, last", SlotOf(&ID2D1SvgDocument::Placeholder_CreatePathData), 14},
    };
    for (const Case& c : cases) EXPECT_EQ(c.slot, c.documented) << c.method;
}

class WicImages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0); }
};

TEST_F(WicImages, FixturesDecodeToTheirPremultipliedPixels) {
    for (const velk::testing::ImageFixture& f : velk::testing::ImageFixtures()) {
        auto image = Decode(f.Png);
        ASSERT_EQ(image->Width(), f.Width) << f.Name;
        ASSERT_EQ(image->Height(), f.Height) << f.Name;
        std::vector<uint8_t> pixels = DecodedPixels(*image);
        for (const velk::testing::Texel& t : f.Expected) {
            const uint8_t* p = pixels.data() + (size_t(t.Y) * f.Width + t.X) * 4;
            EXPECT_EQ((std::vector<int>{p[0], p[1], p[2], p[3]}), (std::vector<int>{t.B, t.G, t.R, t.A}))
                << f.Name << " at " << t.X << ", " << t.Y;
        }
    }
}

TEST_F(WicImages, BytesThatAreNoImageFailToDecode) {
    for (const std::string& bytes : velk::testing::NoImages())
        EXPECT_THROW(Decode(std::vector<uint8_t>(bytes.begin(), bytes.end())), velk::ComException) << bytes;
}

TEST_F(WicImages, ThePicturesDecodeAsOnLinux) {
    // Size and checksum of the premultiplied B, G, R, A bytes that the Linux
    // layer draws for each of the demo's pictures.
    struct Picture {
        const char* name;
        uint32_t width, height, crc;
    } pictures[] = {
        {"datavelk.png", 240, 600, 0x5725359E},  // the one with partly transparent pixels
        {"q9.png", 1000, 1400, 0xEC1FB08B},
        {"tant_velk_alla_tre_v4.png", 1600, 1000, 0xEB44E1AB},
        {"tumlo.png", 1000, 1400, 0x21ADC3D8},
        {"vispel.png", 1000, 1400, 0x9CBD2EA3},
    };
    for (const Picture& p : pictures) {
        std::ifstream in(std::string(VELK_SOURCE_DIR) + "\\Artifacts\\Graphics\\" + p.name, std::ios::binary);
        if (!in) GTEST_SKIP() << "the pictures are not in the source tree";
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto image = Decode(bytes);
        EXPECT_EQ(image->Width(), p.width) << p.name;
        EXPECT_EQ(image->Height(), p.height) << p.name;
        std::vector<uint8_t> pixels = DecodedPixels(*image);
        EXPECT_EQ(velk::testing::Crc32(pixels.data(), pixels.size()), p.crc) << p.name;
    }
}

// Proportional line spacing reaches the layout whether the text format takes it
// or refuses it (the platform's documentation allows the method on layouts only):
// the show's fourteen texts get the same metrics, ink and texture sizes both ways.
TEST(TextLayouts, ProportionalSpacingRefusedByTheFormatGoesToTheLayout) {
    std::vector<uint8_t> font = velk::testing::ProjectFont();
    if (font.empty()) GTEST_SKIP() << "the project's font is not in the source tree";
    velk::canvas::TextFactory factory;
    auto collection = velk::Textures::LoadFontCollection(factory, font);
    struct Refusing {
        explicit Refusing(bool on) { velk::canvas::RefuseProportionalSpacingOnFormats = on; }
        ~Refusing() { velk::canvas::RefuseProportionalSpacingOnFormats = false; }
    };
    auto layOut = [&](const velk::TextureEntry& e, bool refused) {
        Refusing refusing(refused);
        return velk::Textures::LayOutText(factory, *collection, velk::TextureTable::TextOf(e), e.FontSize,
                                          e.LineSpacing, e.Alignment);
    };
    int spaced = 0, texts = 0;
    for (const velk::TextureEntry& e : velk::TextureTable::CreationOrder()) {
        if (e.Source != velk::TextureSource::Text) continue;
        ++texts;
        velk::Textures::TextBlock onFormat = layOut(e, false), onLayout = layOut(e, true);
        if (onFormat.Format->Get().ForLayouts)
            GTEST_SKIP() << "the text format refuses proportional spacing here, so both ways are the layout's "
                            "(TextTextureSizes checks the sizes)";
        ASSERT_TRUE(onLayout.Format->Get().ForLayouts) << e.Name;
        velk::canvas::TextMetrics a = onFormat.Layout->GetMetrics(), b = onLayout.Layout->GetMetrics();
        velk::canvas::OverhangMetrics oa = onFormat.Layout->GetOverhangMetrics(),
                                      ob = onLayout.Layout->GetOverhangMetrics();
        EXPECT_EQ(std::vector<float>({a.Left, a.Top, a.Width, a.WidthIncludingTrailingWhitespace, a.Height,
                                      oa.Left, oa.Top, oa.Right, oa.Bottom}),
                  std::vector<float>({b.Left, b.Top, b.Width, b.WidthIncludingTrailingWhitespace, b.Height, ob.Left,
                                      ob.Top, ob.Right, ob.Bottom}))
            << e.Name;
        EXPECT_EQ(a.LineCount, b.LineCount) << e.Name;
        const velk::Textures::TextPlacement& pa = onFormat.Placement;
        const velk::Textures::TextPlacement& pb = onLayout.Placement;
        EXPECT_EQ(std::vector<float>({pa.OriginX, pa.OriginY, pa.Width, pa.Height}),
                  std::vector<float>({pb.OriginX, pb.OriginY, pb.Width, pb.Height}))
            << e.Name;
        // The layout carries the spacing it was given.
        Microsoft::WRL::ComPtr<IDWriteTextLayout3> layout3;
        ASSERT_EQ(onLayout.Layout->Get().Layout.As(&layout3), S_OK) << e.Name;
        DWRITE_LINE_SPACING spacing{};
        ASSERT_EQ(layout3->GetLineSpacing(&spacing), S_OK) << e.Name;
        EXPECT_EQ(spacing.method, DWRITE_LINE_SPACING_METHOD_PROPORTIONAL) << e.Name;
        EXPECT_EQ(spacing.height, e.LineSpacing) << e.Name;
        EXPECT_EQ(spacing.baseline, 0.8f * e.LineSpacing) << e.Name;
        if (a.LineCount > 1 && e.LineSpacing != 1.0f) ++spaced;
    }
    EXPECT_EQ(texts, 14);
    EXPECT_GT(spaced, 0) << "no text whose size the spacing decides";
}
