// The encoder's tag in the first frame of an MP3 file (the Xing or Info header
// with LAME's extension): how many audio frames the file holds and how many sample
// frames of encoder delay and padding they carry. A decoder that trims delivers
// the samples in between; one that does not trim delivers every frame in full.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace velk::test {

struct EncoderTag {
    int64_t Frames = 0;           // audio frames, the tag's own frame not counted
    int32_t SamplesPerFrame = 0;  // 1152 for MPEG-1 Layer III, 576 for MPEG-2 and 2.5
    int32_t Delay = 0;            // sample frames the encoder put before the sound
    int32_t Padding = 0;          // sample frames it put after it
    // Every sample frame of the audio frames, and the sound alone.
    int64_t Untrimmed() const { return Frames * SamplesPerFrame; }
    int64_t Trimmed() const { return Untrimmed() - Delay - Padding; }
};

// The tag of the file's first frame (after an ID3v2 tag, if any), or none when the
// frame carries no Xing/Info header with a frame count and LAME's extension.
inline std::optional<EncoderTag> ReadEncoderTag(const std::vector<uint8_t>& mp3) {
    auto at = [&](size_t i) -> uint32_t { return i < mp3.size() ? mp3[i] : 0; };
    auto be32 = [&](size_t i) { return at(i) << 24 | at(i + 1) << 16 | at(i + 2) << 8 | at(i + 3); };
    size_t p = 0;
    if (mp3.size() >= 10 && std::memcmp(mp3.data(), "ID3", 3) == 0)
        p = 10 + (at(6) << 21 | at(7) << 14 | at(8) << 7 | at(9));  // the tag's size is sync-safe
    while (p + 4 <= mp3.size() && !(at(p) == 0xFF && (at(p + 1) & 0xE0) == 0xE0)) ++p;
    if (p + 4 > mp3.size()) return std::nullopt;
    const bool mpeg1 = (at(p + 1) & 0x18) == 0x18;
    const bool mono = (at(p + 3) & 0xC0) == 0xC0;
    const bool crc = (at(p + 1) & 0x01) == 0;
    // The header follows the frame's side information.
    const size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    size_t x = p + 4 + (crc ? 2 : 0) + sideInfo;
    if (x + 8 > mp3.size() || (std::memcmp(&mp3[x], "Xing", 4) != 0 && std::memcmp(&mp3[x], "Info", 4) != 0))
        return std::nullopt;
    const uint32_t flags = be32(x + 4);
    if (!(flags & 1)) return std::nullopt;
    EncoderTag tag;
    tag.SamplesPerFrame = mpeg1 ? 1152 : 576;
    size_t q = x + 8;
    tag.Frames = be32(q);
    q += 4;
    if (flags & 2) q += 4;    // byte count
    if (flags & 4) q += 100;  // seek table
    if (flags & 8) q += 4;    // quality
    // LAME's extension: a 9-byte version, then delay and padding as two 12-bit
    // numbers 21 bytes into it.
    if (q + 24 > mp3.size() || std::memcmp(&mp3[q], "LAME", 4) != 0) return std::nullopt;
    tag.Delay = static_cast<int32_t>(at(q + 21) << 4 | at(q + 22) >> 4);
    tag.Padding = static_cast<int32_t>((at(q + 22) & 0x0F) << 8 | at(q + 23));
    return tag;
}

}  // namespace velk::test
