// MP3 decoding with libmpg123, fed from memory.
//
// Maps: the whole file is fed at once (feed mode), gapless trimming is on, the
// output is fixed to signed 16-bit at whatever rate and channel count the stream
// has, and mpg123_read runs until the decoder needs more data than there is.
// libmpg123's own messages never reach standard error.
// Cannot: follow a stream that changes its rate or channel count midway; the bytes
// are delivered as decoded and the first format is the one reported.
#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/errors.h"
#include "media/mp3.h"

namespace velk::mp3 {
namespace {

// The result codes the program reports for a stream it cannot use: no audio
// stream found, and a byte stream that cannot be parsed.
constexpr int32_t kNoAudioStream = static_cast<int32_t>(0xC00D36B3u);
constexpr int32_t kUnsupportedStream = static_cast<int32_t>(0xC00D36C4u);

struct Handle {
    mpg123_handle* h = nullptr;
    ~Handle() {
        if (h) {
            mpg123_close(h);
            mpg123_delete(h);
        }
    }
};

// libmpg123 writes some complaints about damaged frames straight to standard error
// whatever its quiet flag says (layer II's "Truncating stereo boundary to sideband
// limit."). The program's standard error carries only its own lines, so while the
// decoder runs the descriptor points at /dev/null. Decoding happens at start-up on
// the main thread, when nothing else writes there.
class StandardErrorSilenced {
public:
    StandardErrorSilenced() {
        std::fflush(stderr);
        saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~StandardErrorSilenced() {
        std::fflush(stderr);
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StandardErrorSilenced(const StandardErrorSilenced&) = delete;
    StandardErrorSilenced& operator=(const StandardErrorSilenced&) = delete;

private:
    int saved_ = -1;
};

[[noreturn]] void Fail(const char* call, int32_t code, const std::string& reason) {
    throw ComException(std::string(call) + " failed: " + HResultText(code) + ": " + reason, code);
}

std::string ReasonOf(mpg123_handle* h, int err) {
    return h ? mpg123_strerror(h) : mpg123_plain_strerror(err);
}

}  // namespace

Format Decode(const uint8_t* data, size_t size, std::vector<uint8_t>& pcm) {
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { mpg123_init(); });

    int err = MPG123_OK;
    Handle d;
    d.h = mpg123_new(nullptr, &err);
    if (!d.h) Fail("mpg123_new", hr::E_FAIL_, ReasonOf(nullptr, err));
    mpg123_param(d.h, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    // 16-bit signed output at every rate and channel count the stream may have.
    mpg123_format_none(d.h);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(d.h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);

    StandardErrorSilenced silenced;
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
