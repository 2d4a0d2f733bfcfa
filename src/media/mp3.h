// MP3 decoding: a whole file in memory to interleaved signed 16-bit PCM.
//
// The output keeps the file's own sample rate and channel count; samples come in
// the decoder's channel order (for stereo: left, then right), little-endian, frame
// after frame. Encoder delay and padding are trimmed when the file says how much
// there is, so a file made from N frames decodes to N frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk::mp3 {

struct Format {
    int32_t SampleRate = 0;  // frames per second
    int32_t Channels = 0;    // samples per frame
};

// Decodes the whole file and appends every decoded byte to `pcm` in delivery
// order. Raises ComException for data in which no MPEG audio stream is found and
// for a stream that cannot be decoded.
Format Decode(const uint8_t* data, size_t size, std::vector<uint8_t>& pcm);

}  // namespace velk::mp3
