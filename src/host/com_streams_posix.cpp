// The byte stream as the program's own object (Linux): a copy of the bytes and a
// position; the decoders read the bytes in place.
#include <algorithm>
#include <cstring>
#include <new>

#include "host/com_streams.h"
#include "host/errors.h"

namespace velk {

ByteStream::ByteStream(std::span<const uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
ByteStream::~ByteStream() = default;

size_t ByteStream::Read(void* destination, size_t n) {
    size_t left = static_cast<size_t>(bytes_.size() - position_);
    size_t count = std::min(n, left);
    if (count) std::memcpy(destination, bytes_.data() + position_, count);
    position_ += count;
    return count;
}

uint64_t ByteStream::Seek(int64_t offset, int origin) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(position_) : static_cast<int64_t>(bytes_.size());
    int64_t p = std::clamp<int64_t>(base + offset, 0, static_cast<int64_t>(bytes_.size()));
    position_ = static_cast<uint64_t>(p);
    return position_;
}

uint64_t ByteStream::Position() const { return position_; }
uint64_t ByteStream::Size() const { return bytes_.size(); }
const uint8_t* ByteStream::Data() const { return bytes_.data(); }

std::unique_ptr<ByteStream> ComStreams::FromBytes(std::span<const uint8_t> bytes) {
    try {
        return std::make_unique<ByteStream>(bytes);
    } catch (const std::bad_alloc&) {
        throw OutOfMemoryException("SHCreateMemStream failed.");
    }
}

}  // namespace velk
