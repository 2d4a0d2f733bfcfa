#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host/errors.h"
#include "media/audio_out.h"
#include "music_test_sounds.h"

namespace audio = velk::audio;
namespace vt = velk::testing;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Output {
    audio::Engine* Engine;
    audio::SourceVoice* Voice;
    Output() {
        vt::UseNullAudioDeviceByDefault();
        Engine = audio::CreateEngine();
        audio::CreateMasteringVoice(Engine);
        Voice = audio::CreateSourceVoice(Engine, {48000, 2});
    }
    ~Output() {
        audio::DestroyVoice(Voice);
        audio::Release(Engine);
    }
};

}  // namespace

// The played count rises while playing, holds while stopped or with nothing queued,
// survives flushes and new buffers, and stops at the end of a buffer.
TEST(AudioOut, PlayedCountIsARunningTotal) {
    Output out;
    std::vector<uint8_t> pcm(48000 * 4);  // 1 s of stereo silence
    audio::Buffer buffer{pcm.data(), static_cast<uint32_t>(pcm.size()), 0};
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), 0u);

    ASSERT_TRUE(audio::SubmitSourceBuffer(out.Voice, buffer));
    EXPECT_FALSE(audio::SubmitSourceBuffer(out.Voice, buffer));  // one buffer at a time
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), 0u);
    audio::Start(out.Voice);
    SleepMs(150);
    audio::Stop(out.Voice);
    uint64_t stopped = audio::SamplesPlayed(out.Voice);
    EXPECT_GT(stopped, 48000u * 50 / 1000);
    EXPECT_LT(stopped, 48000u * 400 / 1000);
    SleepMs(100);
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), stopped);

    audio::Start(out.Voice);
    SleepMs(100);
    uint64_t resumed = audio::SamplesPlayed(out.Voice);
    EXPECT_GT(resumed, stopped);
    audio::Stop(out.Voice);
    audio::FlushSourceBuffers(out.Voice);
    uint64_t flushed = audio::SamplesPlayed(out.Voice);
    EXPECT_GE(flushed, resumed);
    audio::Start(out.Voice);  // started with nothing queued: nothing is played
    SleepMs(50);
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), flushed);

    // A buffer from its last 100 frames (queued to a started voice: plays at once)
    // adds exactly those frames once it has played out.
    buffer.PlayBegin = 48000 - 100;
    ASSERT_TRUE(audio::SubmitSourceBuffer(out.Voice, buffer));
    SleepMs(200);
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), flushed + 100);
    audio::Start(out.Voice);  // a played-out buffer is not played again
    SleepMs(50);
    EXPECT_EQ(audio::SamplesPlayed(out.Voice), flushed + 100);

    audio::FlushSourceBuffers(out.Voice);
    buffer.PlayBegin = 48000;  // nothing to play from there
    EXPECT_FALSE(audio::SubmitSourceBuffer(out.Voice, buffer));
}

TEST(AudioOut, OnlyMonoAndStereoVoices) {
    vt::UseNullAudioDeviceByDefault();
    audio::Engine* engine = audio::CreateEngine();
    audio::CreateMasteringVoice(engine);
    EXPECT_THROW(audio::CreateSourceVoice(engine, {48000, 3}), velk::ComException);
    audio::SourceVoice* mono = audio::CreateSourceVoice(engine, {11025, 1});
    audio::DestroyVoice(mono);
    audio::Release(engine);
}
