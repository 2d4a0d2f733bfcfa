// The 2D layer on its own: pictures in memory, images, SVG.
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
    VELK_SKIP_WITHOUT_2D_DRAWING();
    Picture p = PaintPicture(3, 2, [](Canvas&) {});
    EXPECT_EQ(p.Width, 3u);
    EXPECT_EQ(p.Height, 2u);
    for (uint8_t v : p.Pixels) EXPECT_EQ(v, 0);
    EXPECT_THROW(PaintPicture(0, 5, [](Canvas&) {}), velk::ComException);
    EXPECT_THROW(PaintPicture(5, 40000, [](Canvas&) {}), velk::ComException);
}

TEST(Canvas, ImagesPixelForPixelAtTheirOwnSize) {
    VELK_SKIP_WITHOUT_2D_DRAWING();
    for (const velk::testing::ImageFixture& f : velk::testing::ImageFixtures()) {
        Picture p = DrawImage(f.Png);
        ASSERT_EQ(p.Width, f.Width) << f.Name;
        ASSERT_EQ(p.Height, f.Height) << f.Name;
        for (const velk::testing::Texel& t : f.Expected)
            EXPECT_EQ(At(p, t.X, t.Y), (Bgra{t.B, t.G, t.R, t.A})) << f.Name << " at " << t.X << ", " << t.Y;
    }
}

TEST(Canvas, BytesThatAreNoImageFailToDecode) {
    for (const std::string& bytes : velk::testing::NoImages()) {
        ByteStream stream(Bytes(bytes));
        EXPECT_THROW(Image::Decode(stream), velk::ComException);
    }
}

TEST(Canvas, SvgFitsItsViewBoxIntoTheViewport) {
    VELK_SKIP_WITHOUT_2D_DRAWING();
    // A 2:1 viewBox whose left half is opaque red, drawn into 200 x 100 and into a
    // taller 200 x 200 viewport (uniform scale, centred vertically).
    const std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"7\" height=\"3\" viewBox=\"10 10 2 1\">"
        "<rect x=\"10\" y=\"10\" width=\"1\" height=\"1\" fill=\"#ff0000\"/></svg>";
    Picture p = PaintPicture(200, 100, [&](Canvas& c) { Textures::PaintSvg(c, Bytes(svg), {200, 100}); });
    EXPECT_EQ(At(p, 0, 0), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(p, 99, 99), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(p, 100, 0), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(At(p, 199, 99), (Bgra{0, 0, 0, 0}));

    Picture tall = PaintPicture(200, 200, [&](Canvas& c) { Textures::PaintSvg(c, Bytes(svg), {200, 200}); });
    EXPECT_EQ(At(tall, 50, 49), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(At(tall, 50, 50), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(tall, 50, 149), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(At(tall, 50, 150), (Bgra{0, 0, 0, 0}));

    EXPECT_THROW(PaintPicture(10, 10, [&](Canvas& c) { Textures::PaintSvg(c, Bytes("<svg"), {10, 10}); }),
                 velk::ComException);
}
