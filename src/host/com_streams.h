// Wraps asset bytes in a platform stream for the decoders (MP3, PNG, SVG).
//
// The stream holds its own copy of the bytes, so the caller's array may change or
// go away afterwards; it starts positioned at its first byte. On Windows the
// object holds a COM IStream made by SHCreateMemStream, which the decoders there
// take through NativeStream(); on Linux the stream is the program's own and its
// decoders read the bytes in place through Data().
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velk {

class ByteStream {
public:
    // Raises OutOfMemoryException when the platform cannot make the stream.
    explicit ByteStream(std::span<const uint8_t> bytes);
    ~ByteStream();
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // Copies up to n bytes from the current position; returns how many were copied.
    size_t Read(void* destination, size_t n);
    // Moves the position (origin 0 = start, 1 = current, 2 = end); clamps to [0, size].
    uint64_t Seek(int64_t offset, int origin);
    uint64_t Position() const;
    uint64_t Size() const;
    // The whole content in place (the program's own stream; not on Windows).
    const uint8_t* Data() const;
    // The platform stream: the IStream on Windows, owned by this object (AddRef to
    // keep it longer); null where the stream is the program's own.
    void* NativeStream() const { return native_; }

private:
    std::vector<uint8_t> bytes_;  // the program's own stream
    uint64_t position_ = 0;
    void* native_ = nullptr;  // the platform stream
};

class ComStreams {
public:
    // A new stream over a copy of the bytes (an empty array gives an empty stream).
    // Raises OutOfMemoryException "SHCreateMemStream failed." when the platform
    // cannot make one.
    static std::unique_ptr<ByteStream> FromBytes(std::span<const uint8_t> bytes);
};

}  // namespace velk
