// Fixtures for the texture tests: PNG files made in memory, the project's font.
#pragma once

#if __has_include(<cairo.h>)
#include <cairo.h>
#define VELK_TEST_HAVE_CAIRO 1
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "host/errors.h"

// Ends a test that draws an SVG document where the platform has none: under Wine,
// ID2D1DeviceContext5::CreateSvgDocument returns E_NOTIMPL.
#ifdef _WIN32
#include "windows/wine.h"
#define VELK_SKIP_WITHOUT_SVG_DOCUMENTS() VELK_SKIP_UNDER_WINE("CreateSvgDocument returns E_NOTIMPL")
// Under Wine a texture beyond the largest dimension is made all the same.
#define VELK_SKIP_WITHOUT_TEXTURE_SIZE_LIMIT() VELK_SKIP_UNDER_WINE("CreateTexture2D makes textures wider than 16384")
// Under Wine, Direct2D draws text into a transparent target without antialiasing.
#define VELK_SKIP_WITHOUT_TEXT_ANTIALIASING() \
    VELK_SKIP_UNDER_WINE("Direct2D draws text aliased: every texel is fully inked or empty")
#else
#define VELK_SKIP_WITHOUT_SVG_DOCUMENTS() ((void)0)
#define VELK_SKIP_WITHOUT_TEXTURE_SIZE_LIMIT() ((void)0)
#define VELK_SKIP_WITHOUT_TEXT_ANTIALIASING() ((void)0)
#endif

#include "png_encode.h"

namespace velk::testing {
// True where text ink is measured on glyph boxes rounded out to whole pixels
// rather than on the exact outlines: Wine's DirectWrite does so, which makes its
// top overhangs up to a pixel larger (widths and line heights are exact).
inline bool InkRoundedToWholePixels() {
#ifdef _WIN32
    return velk::test::RunningUnderWine();
#else
    return false;
#endif
}
}  // namespace velk::testing

namespace velk::testing {

// Bytes that hold no font fail either with the layer's own error (the collection
// has no family) or where the platform rejects them outright, with the platform's
// (DirectWrite's AddFontFile returns DWRITE_E_FILEFORMAT).
inline void ExpectNoUsableFont(const std::function<void()>& load) {
    try {
        load();
        ADD_FAILURE() << "no error";
    } catch (const velk::InvalidDataException& e) {
        EXPECT_EQ(e.Message(), "No usable font in the font file.");
    } catch (const velk::ComException& e) {
        EXPECT_LT(e.Code(), 0) << e.Message();
    }
}

#ifdef VELK_TEST_HAVE_CAIRO
// A PNG of w x h made by drawing on a cairo surface of the given format.
inline std::vector<uint8_t> MakePng(int w, int h, cairo_format_t format, const std::function<void(cairo_t*)>& draw) {
    cairo_surface_t* surface = cairo_image_surface_create(format, w, h);
    cairo_t* cr = cairo_create(surface);
    draw(cr);
    cairo_destroy(cr);
    std::vector<uint8_t> png;
    cairo_surface_write_to_png_stream(
        surface,
        [](void* closure, const unsigned char* data, unsigned int length) {
            auto* out = static_cast<std::vector<uint8_t>*>(closure);
            out->insert(out->end(), data, data + length);
            return CAIRO_STATUS_SUCCESS;
        },
        &png);
    cairo_surface_destroy(surface);
    return png;
}
#endif

// The PNG with a pHYs chunk declaring `dpi` dots per inch inserted after IHDR.
inline std::vector<uint8_t> WithResolution(std::vector<uint8_t> png, double dpi) {
    uint32_t ppm = static_cast<uint32_t>(dpi / 0.0254 + 0.5);
    std::vector<uint8_t> chunk = {0, 0, 0, 9, 'p', 'H', 'Y', 's'};
    for (int r = 0; r < 2; ++r)
        for (int s = 24; s >= 0; s -= 8) chunk.push_back(uint8_t(ppm >> s));
    chunk.push_back(1);  // metres
    uint32_t crc = Crc32(chunk.data() + 4, chunk.size() - 4);
    for (int s = 24; s >= 0; s -= 8) chunk.push_back(uint8_t(crc >> s));
    const size_t afterIhdr = 8 + 8 + 13 + 4;
    png.insert(png.begin() + afterIhdr, chunk.begin(), chunk.end());
    return png;
}

// A texel of a picture: premultiplied B, G, R, A at (X, Y).
struct Texel {
    uint32_t X, Y;
    uint8_t B, G, R, A;
};

// PNG images with the premultiplied texels they give when decoded and drawn pixel
// for pixel at their own size.
struct ImageFixture {
    const char* Name;
    std::vector<uint8_t> Png;
    uint32_t Width, Height;
    std::vector<Texel> Expected;
};

inline std::vector<ImageFixture> ImageFixtures() {
    std::vector<ImageFixture> fixtures;
    // The resolution metadata plays no part; the half-transparent blue is stored
    // premultiplied; undrawn pixels stay transparent black.
    fixtures.push_back({"640 x 480 at 72 DPI with alpha",
                        WithResolution(EncodePng(640, 480, true,
                                                 [](uint32_t x, uint32_t y) -> Rgba {
                                                     if (x == 0 && y == 0) return {255, 0, 0, 255};
                                                     if (x == 639 && y == 479) return {0, 0, 255, 128};
                                                     return {};
                                                 }),
                                       72),
                        640,
                        480,
                        {{0, 0, 0, 0, 255, 255}, {1, 0, 0, 0, 0, 0}, {639, 479, 128, 0, 0, 128}, {638, 479, 0, 0, 0, 0}}});
    // Without an alpha channel every pixel is opaque.
    fixtures.push_back({"4 x 3 without alpha",
                        EncodePng(4, 3, false,
                                  [](uint32_t x, uint32_t y) -> Rgba {
                                      if (x == 3 && y == 2) return {255, 255, 255, 255};
                                      return {51, 102, 153, 255};
                                  }),
                        4,
                        3,
                        {{0, 0, 153, 102, 51, 255}, {2, 1, 153, 102, 51, 255}, {3, 2, 255, 255, 255, 255}}});
    return fixtures;
}

// Bytes that no image decoder takes.
inline std::vector<std::string> NoImages() {
    return {std::string(), std::string("GIF89a not really"), std::string("\x89PNG\r\n\x1a\n", 8)};
}

// A PNG written byte by byte, for the layouts cairo does not write: `type` is the
// colour type (0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA), `rows` the
// unfiltered sample bytes of each row (big-endian at 16 bits), `chunks` extra
// chunks (type and data) placed before the image data, e.g. PLTE, tRNS, gAMA.
inline std::vector<uint8_t> MakeRawPng(uint32_t w, uint32_t h, uint8_t depth, uint8_t type,
                                       const std::vector<std::vector<uint8_t>>& rows,
                                       const std::vector<std::pair<std::string, std::vector<uint8_t>>>& chunks = {}) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto put32 = [](std::vector<uint8_t>& v, uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
    };
    auto chunk = [&](const std::string& name, const std::vector<uint8_t>& data) {
        put32(png, uint32_t(data.size()));
        std::vector<uint8_t> body(name.begin(), name.end());
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        put32(png, Crc32(body.data(), body.size()));
    };
    std::vector<uint8_t> ihdr;
    put32(ihdr, w);
    put32(ihdr, h);
    ihdr.insert(ihdr.end(), {depth, type, 0, 0, 0});
    chunk("IHDR", ihdr);
    for (const auto& [name, data] : chunks) chunk(name, data);
    // Rows with filter type 0, in one stored (uncompressed) deflate block.
    std::vector<uint8_t> raw;
    for (const auto& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    std::vector<uint8_t> z = {0x78, 0x01, 0x01, uint8_t(raw.size()), uint8_t(raw.size() >> 8),
                              uint8_t(~raw.size()), uint8_t(~raw.size() >> 8)};
    z.insert(z.end(), raw.begin(), raw.end());
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put32(z, (b << 16) | a);
    chunk("IDAT", z);
    chunk("IEND", {});
    return png;
}

// The project's stencil font, or empty when it is not in the source tree.
// VELK_TEST_FONT names another font file for local experiments.
inline std::vector<uint8_t> ProjectFont() {
    std::filesystem::path path = std::filesystem::path(VELK_SOURCE_DIR) / "Artifacts/Fonts/velk_stencil/VelkStencil.ttf";
    if (const char* other = std::getenv("VELK_TEST_FONT")) path = other;
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace velk::testing
