// MP3 decoding with libmpg123, fed from memory.
//
// Maps: the whole file is fed at once (feed mode), gapless trimming is on, the
// output is fixed to signed 16-bit at whatever rate and channel count the stream
// has, and mpg123_read runs until the decoder needs more data than there is.
// Damage inside a file is skipped as a player skips it: the decoder searches up
// to kResyncLimit bytes past a broken frame for the next good one (more than that
// fails the decode, with libmpg123's reason), and a frame of another MPEG layer
// than the stream's first is damage that reads as a frame by chance, so it is
// not decoded (its sound would be noise).
// libmpg123's own messages stay off standard error: its handles are quiet from
// creation on, and the one complaint it writes whatever its quiet flag says (a
// layer II frame's "Truncating stereo boundary to sideband limit.") comes only
// from decoding such a foreign-layer frame, which is never decoded.
// Cannot: follow a stream that changes its rate or channel count midway; the bytes
// are delivered as decoded and the first format is the one reported.
#include <mpg123.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host/errors.h"
#include "media/mp3.h"

namespace velk::mp3 {
namespace {

// The result codes the program reports for a stream it cannot use: no audio
// stream found, and a byte stream that cannot be parsed.
constexpr int32_t kNoAudioStream = static_cast<int32_t>(0xC00D36B3u);
constexpr int32_t kUnsupportedStream = static_cast<int32_t>(0xC00D36C4u);

// How far past a broken frame the decoder looks for the next good one: 16 KiB is
// about two thirds of a second of the shipped soundtrack (192 kbit/s). Skipped
// damage shortens the track, and the show, timed by the music, runs that much
// ahead of it from there on; damage beyond this is no file to play.
constexpr long kResyncLimit = 16384;

struct Handle {
    mpg123_handle* h = nullptr;
    Handle() = default;
    Handle(Handle&& other) noexcept : h(other.h) { other.h = nullptr; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&&) = delete;
    ~Handle() {
        if (h) {
            mpg123_close(h);
            mpg123_delete(h);
        }
    }
};

[[noreturn]] void Fail(const char* call, int32_t code, const std::string& reason) {
    throw ComException(std::string(call) + " failed: " + HResultText(code) + ": " + reason, code);
}

std::string ReasonOf(mpg123_handle* h, int err) {
    return h ? mpg123_strerror(h) : mpg123_plain_strerror(err);
}

// A decoder handle made quiet before it exists: its parameters carry the quiet
// flag from creation on, and the handle is checked to have it.
Handle QuietDecoder() {
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { mpg123_init(); });  // a no-op since libmpg123 1.27, needed before
    int err = MPG123_OK;
    mpg123_pars* pars = mpg123_new_pars(&err);
    if (!pars) Fail("mpg123_new_pars", hr::E_FAIL_, ReasonOf(nullptr, err));
    err = mpg123_par(pars, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    if (err == MPG123_OK) err = mpg123_par(pars, MPG123_RESYNC_LIMIT, kResyncLimit, 0.0);
    Handle d;
    if (err == MPG123_OK) d.h = mpg123_parnew(pars, nullptr, &err);
    mpg123_delete_pars(pars);
    if (!d.h) Fail("mpg123_new", hr::E_FAIL_, ReasonOf(nullptr, err));
    long flags = 0;
    double unused = 0;
    if (mpg123_getparam(d.h, MPG123_FLAGS, &flags, &unused) != MPG123_OK || !(flags & MPG123_QUIET))
        Fail("mpg123_param", hr::E_FAIL_, "the decoder does not take its quiet flag");
    return d;
}

// The byte offsets of the frames whose MPEG layer differs from the stream's first
// frame, found by libmpg123's own parser without decoding anything.
std::vector<size_t> ForeignLayerFrames(const uint8_t* data, size_t size) {
    std::vector<size_t> foreign;
    if (size == 0) return foreign;
    Handle d = QuietDecoder();
    if (mpg123_open_feed(d.h) != MPG123_OK || mpg123_feed(d.h, data, size) != MPG123_OK) return foreign;
    int layer = 0;
    for (;;) {
        int r = mpg123_framebyframe_next(d.h);
        if (r != MPG123_OK && r != MPG123_NEW_FORMAT) break;  // the end, or what the decode reports itself
        mpg123_frameinfo info{};
        if (mpg123_info(d.h, &info) != MPG123_OK) break;
        const off_t at = mpg123_framepos(d.h);
        if (layer == 0) layer = info.layer;
        else if (info.layer != layer && at >= 0 && static_cast<size_t>(at) < size && data[at] == 0xFF)
            foreign.push_back(static_cast<size_t>(at));
    }
    return foreign;
}


}  // namespace

Format Decode(const uint8_t* data, size_t size, std::vector<uint8_t>& pcm) {
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { mpg123_init(); });

    std::vector<uint8_t> masked;
    const std::vector<size_t> foreign = ForeignLayerFrames(data, size);
    if (!foreign.empty()) {
        // The foreign frames lose their sync word, so the decoder resyncs past them.
        masked.assign(data, data + size);
        for (size_t offset : foreign) masked[offset] = 0;
        data = masked.data();
    }

    Handle d = QuietDecoder();
    // 16-bit signed output at every rate and channel count the stream may have.
    mpg123_format_none(d.h);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(d.h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);

    if (mpg123_open_feed(d.h) != MPG123_OK) Fail("mpg123_open_feed", hr::E_FAIL_, ReasonOf(d.h, 0));
    if (size > 0 && mpg123_feed(d.h, data, size) != MPG123_OK)
        Fail("mpg123_feed", kUnsupportedStream, ReasonOf(d.h, 0));

    Format format;
    bool haveFormat = false;
    unsigned char chunk[65536];
    for (;;) {
        size_t done = 0;
        int r = mpg123_read(d.h, chunk, sizeof chunk, &done);
        if (r == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0, encoding = 0;
            if (mpg123_getformat(d.h, &rate, &channels, &encoding) == MPG123_OK && !haveFormat) {
                format.SampleRate = static_cast<int32_t>(rate);
                format.Channels = channels;
                haveFormat = true;
            }
        }
        if (done > 0) pcm.insert(pcm.end(), chunk, chunk + done);
        if (r == MPG123_OK || r == MPG123_NEW_FORMAT) continue;
        if (r == MPG123_NEED_MORE || r == MPG123_DONE) break;
        Fail("mpg123_read", kUnsupportedStream, ReasonOf(d.h, r));
    }
    if (!haveFormat) Fail("mpg123_read", kNoAudioStream, "no MPEG audio stream found");
    return format;
}

}  // namespace velk::mp3
