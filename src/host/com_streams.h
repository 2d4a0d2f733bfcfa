// Wraps asset bytes in a platform stream for the decoders (MP3, PNG, SVG).
//
// The stream holds its own copy of the bytes, so the caller's array may change or
// go away afterwards; it starts positioned at its first byte. On Windows the layer
// hands decoders an IStream; here the stream is the program's own.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velk {

class ByteStream {
public:
    explicit ByteStream(std::span<const uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    // Copies up to n bytes from the current position; returns how many were copied.
    size_t Read(void* destination, size_t n);
    // Moves the position (origin 0 = start, 1 = current, 2 = end); clamps to [0, size].
    uint64_t Seek(int64_t offset, int origin);
    uint64_t Position() const { return position_; }
    uint64_t Size() const { return bytes_.size(); }
    const uint8_t* Data() const { return bytes_.data(); }

private:
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
};

class ComStreams {
public:
    // A new stream over a copy of the bytes (an empty array gives an empty stream).
    // Raises OutOfMemoryException when the platform cannot make one.
    static std::unique_ptr<ByteStream> FromBytes(std::span<const uint8_t> bytes);
};

}  // namespace velk
