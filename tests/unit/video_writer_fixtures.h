// Media types, samples and a test picture as the recorder gives them to the video
// writer, shared by the writer's tests on both platforms.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "media/video_writer.h"

namespace velk::video::test {

inline std::shared_ptr<MediaType> VideoOut(uint32_t w, uint32_t h, uint32_t fps) {
    auto t = CreateMediaType();
    t->SetGUID(Attribute::MajorType, Guid::MediaTypeVideo);
    t->SetGUID(Attribute::Subtype, Guid::VideoFormatH264);
    t->SetUINT32(Attribute::AvgBitrate, w * h * fps / 8);
    t->SetUINT32(Attribute::InterlaceMode, InterlaceProgressive);
    t->SetUINT64(Attribute::FrameSize, PackPair(w, h));
    t->SetUINT64(Attribute::FrameRate, PackPair(fps, 1));
    t->SetUINT64(Attribute::PixelAspectRatio, PackPair(1, 1));
    return t;
}

inline std::shared_ptr<MediaType> VideoIn(uint32_t w, uint32_t h, uint32_t fps) {
    auto t = CreateMediaType();
    t->SetGUID(Attribute::MajorType, Guid::MediaTypeVideo);
    t->SetGUID(Attribute::Subtype, Guid::VideoFormatRGB32);
    t->SetUINT32(Attribute::InterlaceMode, InterlaceProgressive);
    t->SetUINT64(Attribute::FrameSize, PackPair(w, h));
    t->SetUINT64(Attribute::FrameRate, PackPair(fps, 1));
    t->SetUINT64(Attribute::PixelAspectRatio, PackPair(1, 1));
    t->SetUINT32(Attribute::DefaultStride, w * 4);
    return t;
}

inline std::shared_ptr<MediaType> AudioType(bool output, uint32_t rate, uint32_t channels) {
    auto t = CreateMediaType();
    t->SetGUID(Attribute::MajorType, Guid::MediaTypeAudio);
    t->SetGUID(Attribute::Subtype, output ? Guid::AudioFormatAAC : Guid::AudioFormatPCM);
    t->SetUINT32(Attribute::AudioBitsPerSample, 16);
    t->SetUINT32(Attribute::AudioSamplesPerSecond, rate);
    t->SetUINT32(Attribute::AudioNumChannels, channels);
    if (!output) t->SetUINT32(Attribute::AudioBlockAlignment, channels * 2);
    t->SetUINT32(Attribute::AudioAvgBytesPerSecond, output ? 24000 : rate * channels * 2);
    return t;
}

// A frame of four quadrants in colours that tell the picture's place and its
// channel order apart: flipped upside down or left to right, or with red and blue
// swapped, every quadrant shows a colour far from its own.
struct Rgb {
    int R, G, B;
};
struct Quadrant {
    const char* Name;
    bool Right, Bottom;
    Rgb Colour;
};
inline const std::vector<Quadrant>& Quadrants() {
    static const std::vector<Quadrant> quadrants = {
        {"top left", false, false, {200, 40, 30}},
        {"top right", true, false, {40, 180, 120}},
        {"bottom left", false, true, {30, 60, 200}},
        {"bottom right", true, true, {220, 200, 40}},
    };
    return quadrants;
}

// The RGB32 bytes (blue, green, red, unused; rows top first) of the quadrant frame.
inline std::vector<uint8_t> QuadrantFrame(uint32_t w, uint32_t h) {
    std::vector<uint8_t> px(size_t(w) * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const Rgb& c = Quadrants()[(x >= w / 2 ? 1 : 0) + (y >= h / 2 ? 2 : 0)].Colour;
            uint8_t* p = &px[(size_t(y) * w + x) * 4];
            p[0] = uint8_t(c.B), p[1] = uint8_t(c.G), p[2] = uint8_t(c.R), p[3] = 0x7F;  // the fourth byte is ignored
        }
    return px;
}

// Checks a decoded quadrant frame, read through `pixelAt` (x, y from the top left
// corner of the picture), at each quadrant's centre and near its outer corner:
// every channel within `tolerance` of the quadrant's colour.
template <class PixelAt>
void ExpectQuadrants(uint32_t w, uint32_t h, int tolerance, PixelAt pixelAt) {
    for (const Quadrant& q : Quadrants()) {
        const uint32_t x0 = q.Right ? w / 2 : 0, y0 = q.Bottom ? h / 2 : 0;
        const uint32_t points[2][2] = {{x0 + w / 4, y0 + h / 4},
                                       {q.Right ? w - 5 : 4, q.Bottom ? h - 5 : 4}};
        for (const auto& p : points) {
            Rgb got = pixelAt(p[0], p[1]);
            EXPECT_TRUE(std::abs(got.R - q.Colour.R) <= tolerance && std::abs(got.G - q.Colour.G) <= tolerance &&
                        std::abs(got.B - q.Colour.B) <= tolerance)
                << q.Name << " at " << p[0] << ", " << p[1] << ": " << got.R << ", " << got.G << ", " << got.B
                << " instead of " << q.Colour.R << ", " << q.Colour.G << ", " << q.Colour.B;
        }
    }
}

inline void Write(SinkWriter& writer, uint32_t stream, const std::vector<uint8_t>& bytes, int64_t time, int64_t duration) {
    auto buffer = CreateMemoryBuffer(static_cast<uint32_t>(bytes.size()));
    uint8_t* memory = buffer->Lock();
    std::copy(bytes.begin(), bytes.end(), memory);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<uint32_t>(bytes.size()));
    auto sample = CreateSample();
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time);
    sample->SetSampleDuration(duration);
    writer.WriteSample(stream, *sample);
}

}  // namespace velk::video::test
