// MP3 decoding: a whole file in memory to interleaved signed 16-bit PCM.
//
// The output keeps the file's own sample rate and channel count; samples come in
// the decoder's channel order (for stereo: left, then right), little-endian, frame
// after frame. What a file with an encoder tag (the Xing or Info header with
// LAME's delay and padding) decodes to depends on the platform's decoder:
// - Linux (libmpg123, gapless): the delay and the padding are trimmed, so a file
//   made from N sample frames decodes to N;
// - Windows (Media Foundation's MP3 decoder): whatever the platform's decoder
//   delivers, which this layer cannot trim: N where it trims (as Wine's does), up
//   to every sample of every frame (N + delay + padding) where it does not.
// A file without such a tag decodes to every sample of every frame everywhere.
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
