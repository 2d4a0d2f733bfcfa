// The 2D layer on its own: pictures in memory, images, SVG.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <string>

#include "host/com_streams.h"
#include "host/errors.h"
#include "textures/canvas.h"
#include "textures/textures.h"
#include "texture_fixtures.h"

using velk::ByteStream;
using velk::Textures;
using velk::canvas::Canvas;
using velk::canvas::Image;
using velk::canvas::PaintPicture;
using velk::canvas::Picture;

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct Bgra {
    int b, g, r, a;
    bool operator==(const Bgra&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Bgra& p) {
    return o << "(B" << p.b << " G" << p.g << " R" << p.r << " A" << p.a << ")";
}
Bgra At(const Picture& p, uint32_t x, uint32_t y) {
    const uint8_t* t = p.Texel(x, y);
    return {t[0], t[1], t[2], t[3]};
}

Picture DrawImage(const std::vector<uint8_t>& png) {
    ByteStream stream(png);
    auto image = Image::Decode(stream);
    return PaintPicture(image->Width(), image->Height(), [&](Canvas& c) { Textures::PaintImage(c, *image); });
}

}  // namespace

TEST(Canvas, StartsTransparentBlackAndSizeLimits) {
    Picture p = PaintPicture(3, 2, [](Canvas&) {});
    EXPECT_EQ(p.Width, 3u);
    EXPECT_EQ(p.Height, 2u);
    for (uint8_t v : p.Pixels) EXPECT_EQ(v, 0);
    EXPECT_THROW(PaintPicture(0, 5, [](Canvas&) {}), velk::ComException);
    EXPECT_THROW(PaintPicture(5, 40000, [](Canvas&) {}), velk::ComException);
}

TEST(Canvas, ImagesPixelForPixelAtTheirOwnSize) {
    for (const velk::testing::ImageFixture& f : velk::testing::ImageFixtures()) {
        Picture p = DrawImage(f.Png);
        ASSERT_EQ(p.Width, f.Width) << f.Name;
        ASSERT_EQ(p.Height, f.Height) << f.Name;
        for (const velk::testing::Texel& t : f.Expected)
            EXPECT_EQ(At(p, t.X, t.Y), (Bgra{t.B, t.G, t.R, t.A})) << f.Name << " at " << t.X << ", " << t.Y;
    }
}

TEST(Canvas, PngLayoutsDecodeToPremultipliedBgra) {
    // Two pixels per file; 16-bit samples keep their high byte; a palette's
    // transparency and grey with alpha are premultiplied with rounding; gamma and
    // resolution chunks change no pixel.
    using velk::testing::MakeRawPng;
    const std::vector<uint8_t> gamma1 = {0, 1, 0x86, 0xA0}, dpi300 = {0, 0, 0x2E, 0x23, 0, 0, 0x2E, 0x23, 1};
    struct Case {
        const char* Name;
        std::vector<uint8_t> Png;
        Bgra First, Second;
    } cases[] = {
        {"16-bit RGBA",
         MakeRawPng(2, 1, 16, 6, {{0x12, 0xFF, 0x80, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x80, 0}}),
         {255, 128, 18, 255}, {0, 0, 128, 128}},
        {"16-bit RGB", MakeRawPng(2, 1, 16, 2, {{0x12, 0xFF, 0x80, 0xFF, 0xFF, 0x00, 0, 0, 0, 0, 0, 9}}),
         {255, 128, 18, 255}, {0, 0, 0, 255}},
        {"palette with transparency",
         MakeRawPng(2, 1, 8, 3, {{0, 1}}, {{"PLTE", {10, 20, 30, 200, 100, 50}}, {"tRNS", {255, 51}}}),
         {30, 20, 10, 255}, {10, 20, 40, 51}},
        {"2-bit palette", MakeRawPng(2, 1, 2, 3, {{0x1 << 4}}, {{"PLTE", {10, 20, 30, 200, 100, 50}}}),
         {30, 20, 10, 255}, {50, 100, 200, 255}},
        {"grey", MakeRawPng(2, 1, 8, 0, {{77, 255}}), {77, 77, 77, 255}, {255, 255, 255, 255}},
        {"grey and alpha", MakeRawPng(2, 1, 8, 4, {{200, 128, 9, 0}}), {100, 100, 100, 128}, {0, 0, 0, 0}},
        {"RGB with gamma and resolution",
         MakeRawPng(2, 1, 8, 2, {{10, 100, 200, 1, 2, 3}}, {{"gAMA", gamma1}, {"pHYs", dpi300}}),
         {200, 100, 10, 255}, {3, 2, 1, 255}},
        {"RGBA with gamma", MakeRawPng(2, 1, 8, 6, {{255, 255, 255, 64, 10, 20, 30, 255}}, {{"gAMA", {0, 0, 0xB1, 0x8F}}}),
         {64, 64, 64, 64}, {30, 20, 10, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Picture p = DrawImage(c.Png);
        ASSERT_EQ(p.Width, 2u);
        ASSERT_EQ(p.Height, 1u);
        EXPECT_EQ(At(p, 0, 0), c.First);
        EXPECT_EQ(At(p, 1, 0), c.Second);
    }
}

TEST(Canvas, OtherImageFormatsAreRecognisedFromTheirBytes) {
    // The same two pixels, (10, 20, 30) and (200, 100, 50), as BMP and as the
    // first frame of a two-frame GIF whose second frame swaps them.
    const std::vector<uint8_t> bmp = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
                                      40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,
                                      8, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      30, 20, 10, 50, 100, 200, 0, 0};  // one bottom-up row, padded
    const std::vector<uint8_t> frameControl = {0x21, 0xF9, 4, 0, 10, 0, 0, 0};
    const std::vector<uint8_t> descriptor = {0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0};
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0, 10, 20, 30, 200, 100, 50};
    for (uint8_t first : {0x44, 0x0C}) {  // LZW codes: clear, 0, 1, end; then clear, 1, 0, end
        gif.insert(gif.end(), frameControl.begin(), frameControl.end());
        gif.insert(gif.end(), descriptor.begin(), descriptor.end());
        gif.insert(gif.end(), {2, 2, first, 0x0A, 0});
    }
    gif.push_back(0x3B);
    for (const auto& [name, bytes] : {std::pair{"BMP", bmp}, std::pair{"GIF", gif}}) {
        SCOPED_TRACE(name);
        Picture p = DrawImage(bytes);
        ASSERT_EQ(p.Width, 2u);
        ASSERT_EQ(p.Height, 1u);
        EXPECT_EQ(At(p, 0, 0), (Bgra{30, 20, 10, 255}));
        EXPECT_EQ(At(p, 1, 0), (Bgra{50, 100, 200, 255}));
    }

    // A JPEG of one flat colour comes back within its compression's error.
    GdkPixbuf* flat = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 8);
    gdk_pixbuf_fill(flat, 0xC8643200u);
    gchar* jpeg = nullptr;
    gsize size = 0;
    ASSERT_TRUE(gdk_pixbuf_save_to_buffer(flat, &jpeg, &size, "jpeg", nullptr, "quality", "100", nullptr));
    g_object_unref(flat);
    Picture p = DrawImage(std::vector<uint8_t>(jpeg, jpeg + size));
    g_free(jpeg);
    ASSERT_EQ(p.Width, 16u);
    ASSERT_EQ(p.Height, 8u);
    Bgra c = At(p, 7, 3);
    EXPECT_NEAR(c.b, 50, 2);
    EXPECT_NEAR(c.g, 100, 2);
    EXPECT_NEAR(c.r, 200, 2);
    EXPECT_EQ(c.a, 255);
}

TEST(Canvas, DecodingErrorsSayWhatWentWrong) {
    struct Case {
        const char* Name;
        std::string Bytes;
        const char* Says;
    } cases[] = {
        {"no bytes", "", "not an image"},
        {"text", "no image", "not an image"},
        {"a PNG signature alone", std::string("\x89PNG\r\n\x1a\n", 8), "PNG"},
        {"a PNG cut off before its end", std::string(), "PNG"},
    };
    // Noise does not compress, so the image data runs to the last chunk.
    std::vector<uint8_t> png = velk::testing::MakePng(64, 64, CAIRO_FORMAT_RGB24, [](cairo_t* cr) {
        for (int i = 0; i < 64 * 64; ++i) {
            cairo_set_source_rgb(cr, (i * 37 % 101) / 100.0, (i * 53 % 97) / 96.0, (i * 71 % 89) / 88.0);
            cairo_rectangle(cr, i % 64, i / 64, 1, 1);
            cairo_fill(cr);
        }
    });
    cases[3].Bytes.assign(png.begin(), png.end() - 200);
    for (const Case& c : cases) {
        ByteStream stream(Bytes(c.Bytes));
        try {
            Image::Decode(stream);
            ADD_FAILURE() << c.Name << " decoded";
        } catch (const velk::ComException& e) {
            std::string what = e.what();
            EXPECT_NE(what.find(c.Says), std::string::npos) << c.Name << ": " << what;
            EXPECT_EQ(what.find("out of memory"), std::string::npos) << c.Name << ": " << what;
        }
    }
    try {
        PaintPicture(10, 10, [&](Canvas& cv) { Textures::PaintSvg(cv, Bytes("<svg"), {10, 10}); });
        ADD_FAILURE() << "a broken SVG drew";
    } catch (const velk::ComException& e) {
        std::string what = e.what();
        ASSERT_FALSE(what.empty());
        EXPECT_NE(what.back(), '\n') << what;
    }
}

TEST(Canvas, BytesThatAreNoImageFailToDecode) {
    for (const std::string& bytes : velk::testing::NoImages()) {
        ByteStream stream(Bytes(bytes));
        EXPECT_THROW(Image::Decode(stream), velk::ComException);
    }
}

TEST(Canvas, SvgRootSizeDecidesWhereTheDocumentDraws) {
    VELK_SKIP_WITHOUT_SVG_DOCUMENTS();
    // A root of no size or a percentage one is fitted into the viewport (its viewBox
    // scaled uniformly and centred); an absolute size is drawn at that size from the
    // top left corner, whatever the viewport. The viewBox is 2:1 and its left half
    // an opaque red square, so the red box shows where and how large it was drawn.
    const std::string square = "<rect x=\"10\" y=\"10\" width=\"1\" height=\"1\" fill=\"#ff0000\"/>";
    struct Case {
        const char* root;        // attributes of the root besides xmlns
        uint32_t width, height;  // the viewport and picture
        uint32_t x0, y0, x1, y1;  // the red box, end exclusive
    } cases[] = {
        {"viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 100, 100},                   // none: fitted
        {"viewBox=\"10 10 2 1\"", 200, 200, 0, 50, 100, 150},                  // fitted and centred
        {"width=\"100%\" height=\"100%\" viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 100, 100},
        {"width=\"50%\" height=\"100%\" viewBox=\"10 10 2 1\"", 200, 100, 0, 25, 50, 75},
        {"width=\"100\" height=\"50\" viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 50, 50},       // absolute
        {"width=\"100px\" height=\"50px\" viewBox=\"10 10 2 1\"", 200, 200, 0, 0, 50, 50},
        {"width=\"1in\" height=\"0.5in\" viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 48, 48},    // 96 px per inch
        {"width=\"25.4mm\" height=\"12.7mm\" viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 48, 48},
        {"style=\"font-size:10px\" width=\"10em\" height=\"5em\" viewBox=\"10 10 2 1\"", 200, 100, 0, 0, 50, 50},
        {"width=\"100\" height=\"100%\" viewBox=\"10 10 2 1\"", 200, 100, 0, 25, 50, 75},  // mixed
    };
    for (const Case& c : cases) {
        const std::string svg = std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" ") + c.root + ">" + square + "</svg>";
        Picture p = PaintPicture(c.width, c.height, [&](Canvas& cv) {
            Textures::PaintSvg(cv, Bytes(svg), {float(c.width), float(c.height)});
        });
        int wrong = 0;
        for (uint32_t y = 0; y < c.height; ++y)
            for (uint32_t x = 0; x < c.width; ++x) {
                bool red = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
                if (At(p, x, y) != (red ? Bgra{0, 0, 255, 255} : Bgra{0, 0, 0, 0}) && wrong++ < 3)
                    ADD_FAILURE() << c.root << " in " << c.width << " x " << c.height << ": " << At(p, x, y) << " at "
                                  << x << ", " << y;
            }
    }
    // A root box of another aspect: 8 x 2 holds the 2:1 viewBox at 4 x 2, centred across.
    const std::string odd = std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"2\" "
                                        "viewBox=\"10 10 2 1\">") + square + "</svg>";
    Picture q = PaintPicture(20, 10, [&](Canvas& cv) { Textures::PaintSvg(cv, Bytes(odd), {20, 10}); });
    EXPECT_EQ(At(q, 1, 0), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(At(q, 2, 0), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(q, 3, 1), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(q, 4, 0), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(At(q, 2, 2), (Bgra{0, 0, 0, 0}));

    EXPECT_THROW(PaintPicture(10, 10, [&](Canvas& c) { Textures::PaintSvg(c, Bytes("<svg"), {10, 10}); }),
                 velk::ComException);
}
