#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host/errors.h"
#include "media/music.h"
#include "music_test_sounds.h"

using velk::Music;
namespace vt = velk::testing;

namespace {

struct BlockOwner {
    Music::Decoded d;
    ~BlockOwner() { std::free(d.Pcm); }
};

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Correlation of one channel of the decoded block with the same channel of the input.
double Correlation(const int16_t* decoded, const std::vector<int16_t>& input, int channels, int channel,
                   int frames) {
    double xy = 0, xx = 0, yy = 0;
    for (int i = 0; i < frames; ++i) {
        double x = decoded[static_cast<size_t>(i) * channels + channel];
        double y = input[static_cast<size_t>(i) * channels + channel];
        xy += x * y;
        xx += x * x;
        yy += y * y;
    }
    return xy / std::sqrt(xx * yy);
}

}  // namespace

// Whole files at several rates and channel counts: format, exact frame count (the
// encoder's delay and padding trimmed), channel order, and the 100 ms of zeros.
TEST(MusicDecode, RatesChannelsFramesAndSilence) {
    struct Case {
        int rate, channels;
        int64_t paddingFrames;
    };
    const Case cases[] = {{48000, 2, 4800}, {44100, 2, 4410}, {44100, 1, 4410}, {11025, 1, 1102}, {11025, 2, 1102}};
    vt::TempDir dir("decode");
    const int frames = 10000;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        auto path = dir.Root / (std::to_string(c.rate) + "-" + std::to_string(c.channels) + ".mp3");
        vt::MakeMp3(path, c.rate, c.channels, frames);
        BlockOwner b{Music::Decode(vt::ReadAll(path))};
        ASSERT_NE(b.d.Pcm, nullptr);
        EXPECT_EQ(b.d.SampleRate, c.rate);
        EXPECT_EQ(b.d.Channels, c.channels);
        EXPECT_EQ(b.d.FrameCount, frames);
        EXPECT_EQ(c.rate / 10, c.paddingFrames);

        // The sound is where it was put: each channel matches its own input tone.
        auto input = vt::SineFrames(c.rate, c.channels, frames);
        const auto* pcm = reinterpret_cast<const int16_t*>(b.d.Pcm);
        for (int ch = 0; ch < c.channels; ++ch) EXPECT_GT(Correlation(pcm, input, c.channels, ch, frames), 0.9);

        size_t l = static_cast<size_t>(b.d.FrameCount) * 2 * c.channels;
        size_t p = static_cast<size_t>(c.paddingFrames) * 2 * c.channels;
        EXPECT_TRUE(AllZero(b.d.Pcm + l, p));
    }
}

// Damaged frames in the middle of a track (three that read as joint-stereo layer II
// at a low rate) still decode, and libmpg123 writes nothing of its own to standard
// error about them.
TEST(MusicDecode, DamagedFramesLeaveStandardErrorAlone) {
    vt::TempDir dir("damaged");
    vt::MakeMp3(dir.Root / "t.mp3", 48000, 2, 24000);
    std::vector<uint8_t> bytes = vt::ReadAll(dir.Root / "t.mp3");
    std::vector<uint8_t> damaged = {0xFF, 0xFD, 0x14, 0x70};
    damaged.resize(96);
    const size_t middle = bytes.size() / 2;
    for (int i = 0; i < 3; ++i) bytes.insert(bytes.begin() + middle, damaged.begin(), damaged.end());
    ::testing::internal::CaptureStderr();
    BlockOwner b{Music::Decode(bytes)};
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(b.d.SampleRate, 48000);
    // The foreign-layer frames are skipped, not decoded into noise.
    EXPECT_EQ(b.d.FrameCount, 24000);
}

// Damage inside a good file: a hole (a zeroed stretch, as a bad block leaves) that
// the decoder can resync past is skipped and the rest of the track decodes; a
// longer one, and bytes that hold no stream at all, fail with a reason instead of
// giving a short or silent track. Junk that reads as frames by chance decodes as
// those frames, as in any player.
TEST(MusicDecode, DamageIsSkippedUpToTheResyncLimit) {
    vt::TempDir dir("resync");
    vt::MakeMp3(dir.Root / "t.mp3", 48000, 2, 48000);
    const std::vector<uint8_t> good = vt::ReadAll(dir.Root / "t.mp3");
    uint32_t seed = 12345;
    auto random = [&](size_t n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
        return bytes;
    };
    auto withInTheMiddle = [&](const std::vector<uint8_t>& damage) {
        std::vector<uint8_t> bytes = good;
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), damage.begin(), damage.end());
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool decodes;
    };
    const Case cases[] = {
        {"a 4 KiB hole", withInTheMiddle(std::vector<uint8_t>(4096)), true},
        {"a 15 KiB hole", withInTheMiddle(std::vector<uint8_t>(15 * 1024)), true},
        {"a 17 KiB hole", withInTheMiddle(std::vector<uint8_t>(17 * 1024)), false},
        {"a 64 KiB hole", withInTheMiddle(std::vector<uint8_t>(65536)), false},
        {"4 KiB of random bytes", withInTheMiddle(random(4096)), true},
        {"random bytes only", random(200000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::testing::internal::CaptureStderr();
        try {
            BlockOwner b{Music::Decode(c.bytes)};
            EXPECT_TRUE(c.decodes) << b.d.FrameCount << " frames";
            // A frame or two around the damage may be lost or added (1152 sample frames each).
            EXPECT_NEAR(static_cast<double>(b.d.FrameCount), 48000.0, 3 * 1152.0);
        } catch (const velk::ComException& e) {
            EXPECT_FALSE(c.decodes) << e.what();
            EXPECT_LT(e.Code(), 0);
            EXPECT_EQ(std::string(e.what()).rfind("mpg123_read failed: 0x", 0), 0u) << e.what();
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

// The block from delivered bytes: only whole frames count, a trailing partial frame
// stays in the block, and nothing delivered leaves only the silence.
TEST(MusicDecode, BlockFromDeliveredBytes) {
    std::vector<uint8_t> odd(43);
    for (size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<uint8_t>(i + 1);
    BlockOwner b{Music::MakeBlock(odd, 48000, 2)};
    EXPECT_EQ(b.d.FrameCount, 10);
    EXPECT_EQ(std::memcmp(b.d.Pcm, odd.data(), odd.size()), 0);
    EXPECT_TRUE(AllZero(b.d.Pcm + 43, 19200));

    BlockOwner e{Music::MakeBlock({}, 11025, 1)};
    ASSERT_NE(e.d.Pcm, nullptr);
    EXPECT_EQ(e.d.FrameCount, 0);
    EXPECT_EQ(e.d.SampleRate, 11025);
    EXPECT_TRUE(AllZero(e.d.Pcm, 2204));
}

// Bytes without an MPEG audio stream (none at all, text, a bare ID3 tag) fail with
// a platform error that says why.
TEST(MusicDecode, NoAudioStreamFails) {
    std::string text(5000, 'x');
    std::vector<uint8_t> id3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    const std::vector<std::vector<uint8_t>> inputs = {
        {}, std::vector<uint8_t>(text.begin(), text.end()), id3};
    for (const auto& bytes : inputs) {
        try {
            BlockOwner b{Music::Decode(bytes)};
            ADD_FAILURE() << "decoded " << bytes.size() << " bytes without an audio stream";
        } catch (const velk::ComException& e) {
            EXPECT_LT(e.Code(), 0);
            EXPECT_NE(std::string(e.what()).find("no MPEG audio stream"), std::string::npos) << e.what();
        }
    }
}
