// The recorder's arithmetic and copies: which sound belongs to which video frame, the times
// of both samples in 100-nanosecond units, the average bit rate, and the closing
// fade applied to the recorded sound. Every division truncates toward zero, and
// every time is computed from the frame number afresh, so nothing accumulates.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

namespace velk::recording {

constexpr int64_t TicksPerSecond = 10000000;

// The recorded time after `frames` frames: frames / fps in double precision,
// rounded to single precision (0 / 0 gives not-a-number).
inline float Seconds(int64_t frames, int32_t fps) {
    return static_cast<float>(static_cast<double>(frames) / static_cast<double>(fps));
}

// Video sample of frame k: time k x 10^7 / fps, duration 10^7 / fps (a 32-bit division).
inline int64_t VideoTime(int64_t k, int32_t fps) { return k * TicksPerSecond / fps; }
inline int64_t VideoDuration(int32_t fps) { return static_cast<int64_t>(int32_t(TicksPerSecond) / fps); }

// The H.264 average bit rate, width x height x fps / 8; computed in 64 bits and
// kept within the 32-bit attribute (a product beyond it gives the largest rate).
inline uint32_t AverageBitRate(int32_t width, int32_t height, int32_t fps) {
    int64_t rate = static_cast<int64_t>(width) * height * fps / 8;
    if (rate < 0) return 0;
    if (rate > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<uint32_t>(rate);
}

// The sample frames that play during video frame k, and the audio sample's times.
// Consecutive chunks tile the track without gaps or overlaps.
struct AudioChunk {
    int64_t Start = 0;     // first sample frame
    int64_t Count = 0;     // sample frames asked for
    int64_t Time = 0;      // 100 ns units
    int64_t Duration = 0;  // of the count asked for, also where the track ends sooner
};

inline AudioChunk AudioChunkOf(int64_t k, int32_t rate, int32_t fps) {
    AudioChunk c;
    c.Start = k * rate / fps;
    int64_t end = (k + 1) * rate / fps;
    c.Count = end - c.Start;
    c.Time = c.Start * TicksPerSecond / rate;
    c.Duration = c.Count * TicksPerSecond / rate;
    return c;
}

// Copies `height` rows of `rowBytes` bytes each from rows `pitch` bytes apart to
// packed rows; the padding at the end of each source row is left behind.
inline void PackRows(uint8_t* out, const uint8_t* in, size_t rowBytes, int32_t height, uint32_t pitch) {
    for (int32_t y = 0; y < height; ++y)
        std::memcpy(out + static_cast<size_t>(y) * rowBytes, in + static_cast<int64_t>(y) * static_cast<int64_t>(pitch),
                    rowBytes);
}

// Copies `bytes` of interleaved 16-bit samples from `in` to `out`, each value
// multiplied by the gain at its sample frame's time (start + j / channels) / rate,
// in single precision and truncated toward zero. The gain is asked for every value.
template <class Gain>
void FadeSamples(const uint8_t* in, uint8_t* out, size_t bytes, int64_t start, int32_t rate, int32_t channels,
                 const Gain& gain) {
    size_t values = bytes / 2;
    for (size_t j = 0; j < values; ++j) {
        double t = static_cast<double>(start + static_cast<int64_t>(j) / channels) / static_cast<double>(rate);
        float g = gain(t);
        int16_t v;
        std::memcpy(&v, in + j * 2, 2);
        float product = g * static_cast<float>(v);
        int16_t faded = static_cast<int16_t>(static_cast<int32_t>(product));
        std::memcpy(out + j * 2, &faded, 2);
    }
}

}  // namespace velk::recording
