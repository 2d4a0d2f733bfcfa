// Fixtures for the texture tests: PNG files made in memory, the project's font.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace velk::testing {

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

inline uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

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
