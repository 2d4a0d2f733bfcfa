// Media types and samples as the recorder gives them to the video writer, shared by
// the writer's tests on both platforms.
#pragma once

#include <algorithm>
#include <cstdint>
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
