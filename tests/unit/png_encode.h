// PNG files written without a library: 8-bit RGB or RGBA, the image data stored
// uncompressed. For the test fixtures and the frame tool, on every platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velk::testing {

// The CRC-32 of PNG chunks (and zlib), bit by bit.
inline uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// Straight (not premultiplied) 8-bit colour of a PNG pixel.
struct Rgba {
    uint8_t R = 0, G = 0, B = 0, A = 0;
};

// A PNG of w x h with 8-bit channels, RGBA (colour type 6) or RGB (colour type 2),
// its pixels given by `pixel`; the image data is stored uncompressed.
inline std::vector<uint8_t> EncodePng(uint32_t w, uint32_t h, bool alpha, const std::function<Rgba(uint32_t, uint32_t)>& pixel) {
    auto put32 = [](std::vector<uint8_t>& out, uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
    };
    auto chunk = [&](std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
        put32(png, uint32_t(data.size()));
        std::vector<uint8_t> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        put32(png, Crc32(body.data(), body.size()));
    };
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; ++y) {
        raw.push_back(0);  // no filter
        for (uint32_t x = 0; x < w; ++x) {
            Rgba p = pixel(x, y);
            raw.insert(raw.end(), {p.R, p.G, p.B});
            if (alpha) raw.push_back(p.A);
        }
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t done = 0;
    do {  // stored deflate blocks of at most 65535 bytes
        size_t n = std::min<size_t>(65535, raw.size() - done);
        z.push_back(done + n == raw.size() ? 1 : 0);
        z.insert(z.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        z.insert(z.end(), raw.begin() + done, raw.begin() + done + n);
        done += n;
    } while (done < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
    put32(z, (b << 16) | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put32(ihdr, w);
    put32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, uint8_t(alpha ? 6 : 2), 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

}  // namespace velk::testing
