// Audio output on XAudio2. Under Wine the engine plays on an ALSA null device
// (scripts/test-windows sets one up), which runs faster than real time, so the
// bounds on played frames are loose; what is exact is where the count stops.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "host/errors.h"
#include "media/audio_out.h"
#include "media/audio_out_xaudio2_windows.h"

namespace audio = velk::audio;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until the played count stops moving: the same over 200 ms, which a loaded
// machine's audio thread does not sit out while it plays (at most five seconds);
// returns it.
uint64_t SettledCount(audio::SourceVoice* voice) {
    uint64_t last = audio::SamplesPlayed(voice);
    int still = 0;
    for (int i = 0; i < 100 && still < 4; ++i) {
        SleepMs(50);
        uint64_t now = audio::SamplesPlayed(voice);
        still = now == last ? still + 1 : 0;
        last = now;
    }
    return last;
}

}  // namespace

// The played count rises while the voice plays, holds while it is stopped, is not
// lowered by flushing and submitting anew, and stops at the end of a buffer; the
// volume and the order of release (voice, then engine) do not disturb it.
TEST(AudioOutXAudio2, PlayedCountIsARunningTotal) {
    audio::Engine* engine = audio::CreateEngine();
    ASSERT_NE(audio::CreateMasteringVoice(engine), nullptr);
    audio::SourceVoice* voice = audio::CreateSourceVoice(engine, {48000, 2});

    std::vector<uint8_t> pcm(48000 * 4 * 2);  // 2 s of stereo silence
    audio::Buffer buffer{pcm.data(), static_cast<uint32_t>(pcm.size()), 0};
    EXPECT_EQ(audio::SamplesPlayed(voice), 0u);
    ASSERT_TRUE(audio::SubmitSourceBuffer(voice, buffer));
    SleepMs(100);
    EXPECT_EQ(audio::SamplesPlayed(voice), 0u);  // queued, not started

    audio::Start(voice);
    audio::SetVolume(voice, 0.25f);
    SleepMs(200);
    audio::Stop(voice);
    uint64_t stopped = SettledCount(voice);
    EXPECT_GT(stopped, 48000u * 50 / 1000);
    EXPECT_LT(stopped, 48000u * 2 - 48000u / 10);
    SleepMs(100);
    EXPECT_EQ(audio::SamplesPlayed(voice), stopped);

    // Flushed and started with nothing queued: nothing more is played.
    audio::FlushSourceBuffers(voice);
    audio::Start(voice);
    uint64_t flushed = SettledCount(voice);
    EXPECT_EQ(flushed, stopped);

    // The buffer's last 480 frames, queued to the started voice: exactly those are added.
    audio::Stop(voice);
    buffer.PlayBegin = 2 * 48000 - 480;
    ASSERT_TRUE(audio::SubmitSourceBuffer(voice, buffer));
    audio::Start(voice);
    SleepMs(300);
    EXPECT_EQ(SettledCount(voice), flushed + 480);

    audio::Stop(voice);
    audio::DestroyVoice(voice);
    audio::Release(engine);
}

// The buffer queued for each start frame: from frame 0 a play length of 0 (the
// whole buffer), from a later frame the length of the rest in whole frames (a
// length of 0 would be the whole buffer, which XAudio2 allows only from frame 0),
// and nothing at all from the last whole frame's end on.
TEST(AudioOutXAudio2, BufferDescriptionPlaysFromTheStartFrameToTheEnd) {
    std::vector<uint8_t> pcm(4 * 100 + 2);
    const struct {
        const char* name;
        uint32_t bytes, frameBytes, begin;
        std::optional<uint32_t> length;  // none: nothing is queued
    } cases[] = {
        {"start", 400, 4, 0, 0u},
        {"middle", 400, 4, 40, 60u},
        {"last frame", 400, 4, 99, 1u},
        {"at the end", 400, 4, 100, std::nullopt},
        {"past the end", 400, 4, 250, std::nullopt},
        {"trailing partial frame, middle", 402, 4, 40, 60u},
        {"trailing partial frame, at the last whole frame's end", 402, 4, 100, std::nullopt},
        {"mono, last frame", 402, 2, 200, 1u},
        {"empty buffer", 0, 4, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        std::optional<XAUDIO2_BUFFER> b = audio::DescribeBuffer({pcm.data(), c.bytes, c.begin}, c.frameBytes);
        ASSERT_EQ(b.has_value(), c.length.has_value()) << c.name;
        if (!b) continue;
        EXPECT_EQ(b->PlayBegin, c.begin) << c.name;
        EXPECT_EQ(b->PlayLength, *c.length) << c.name;
        EXPECT_EQ(b->AudioBytes, c.bytes) << c.name;
        EXPECT_EQ(b->pAudioData, pcm.data()) << c.name;
        EXPECT_EQ(b->Flags, 0u) << c.name;
        EXPECT_EQ(b->LoopBegin + b->LoopLength + b->LoopCount, 0u) << c.name;
        EXPECT_EQ(b->pContext, nullptr) << c.name;
    }
}

// A mono voice at 11025 Hz plays a tenth of a second to its end.
TEST(AudioOutXAudio2, MonoVoice) {
    audio::Engine* engine = audio::CreateEngine();
    audio::CreateMasteringVoice(engine);
    audio::SourceVoice* mono = audio::CreateSourceVoice(engine, {11025, 1});
    std::vector<uint8_t> pcm(1102 * 2);
    ASSERT_TRUE(audio::SubmitSourceBuffer(mono, {pcm.data(), static_cast<uint32_t>(pcm.size()), 0}));
    audio::Start(mono);
    EXPECT_EQ(SettledCount(mono), 1102u);
    audio::DestroyVoice(mono);
    audio::Release(engine);
}
