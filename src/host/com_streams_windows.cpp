// The byte stream on Windows: a COM IStream from SHCreateMemStream (shlwapi),
// which copies the bytes. The object owns the one reference and releases it when
// it goes; the decoders (WIC, Media Foundation, Direct2D's SVG reader) take the
// stream through NativeStream(). Read and Seek go through the IStream, so the
// program sees the same stream the decoders do.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>

#include <algorithm>

#include "host/com_streams.h"
#include "host/errors.h"

namespace velk {
namespace {

IStream* Stream(void* native) { return static_cast<IStream*>(native); }

}  // namespace

ByteStream::ByteStream(std::span<const uint8_t> bytes) {
    // An empty array gives a null pointer and a count of 0: an empty stream.
    IStream* stream = SHCreateMemStream(bytes.empty() ? nullptr : bytes.data(), static_cast<UINT>(bytes.size()));
    if (!stream) throw OutOfMemoryException("SHCreateMemStream failed.");
    native_ = stream;
}

ByteStream::~ByteStream() {
    if (native_) Stream(native_)->Release();
}

size_t ByteStream::Read(void* destination, size_t n) {
    size_t total = 0;
    auto* out = static_cast<uint8_t*>(destination);
    while (total < n) {
        ULONG chunk = static_cast<ULONG>(std::min<size_t>(n - total, 0x40000000));
        ULONG got = 0;
        if (FAILED(Stream(native_)->Read(out + total, chunk, &got)) || got == 0) break;
        total += got;
    }
    return total;
}

uint64_t ByteStream::Seek(int64_t offset, int origin) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(Position()) : static_cast<int64_t>(Size());
    int64_t target = std::clamp<int64_t>(base + offset, 0, static_cast<int64_t>(Size()));
    LARGE_INTEGER move;
    move.QuadPart = target;
    ULARGE_INTEGER now{};
    Stream(native_)->Seek(move, STREAM_SEEK_SET, &now);
    return now.QuadPart;
}

uint64_t ByteStream::Position() const {
    LARGE_INTEGER zero{};
    ULARGE_INTEGER now{};
    Stream(native_)->Seek(zero, STREAM_SEEK_CUR, &now);
    return now.QuadPart;
}

uint64_t ByteStream::Size() const {
    STATSTG stat{};
    if (FAILED(Stream(native_)->Stat(&stat, STATFLAG_NONAME))) return 0;
    return stat.cbSize.QuadPart;
}

std::unique_ptr<ByteStream> ComStreams::FromBytes(std::span<const uint8_t> bytes) {
    return std::make_unique<ByteStream>(bytes);
}

}  // namespace velk
