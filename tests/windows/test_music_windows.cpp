// The soundtrack through the music on Windows: the embedded MP3 decoded by Media
// Foundation and played by XAudio2. Under Wine the engine plays on an ALSA null
// device that runs faster than real time, so the clock's bounds are loose.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/content.h"
#include "host/embedded_store.h"
#include "media/music.h"
#include "unit/captured_output.h"
#include "windows/mp3_tag.h"

using velk::Content;
using velk::Music;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class MusicWindows : public ::testing::Test {
protected:
    void SetUp() override { Content::InitializeForTest(std::nullopt, velk::EmbeddedStore::Program()); }
    void TearDown() override { Content::InitializeForTest(std::nullopt, velk::EmbeddedStore()); }
};

}  // namespace

// Loaded, the music reports its line and 0 s; played, its clock follows the voice;
// from just before the end the clock crosses the track's length and keeps running
// on the stopwatch; a start past the end is at the length from the first reading.
TEST_F(MusicWindows, SoundtrackPlaysAndClocksAcrossItsEnd) {
    velk::test::CapturedOutput capture;
    std::unique_ptr<Music> m = Music::Load("Artifacts/Audio");
    std::string line = capture.TakeOut();
    ASSERT_TRUE(m);
    // The platform decoder delivers the track trimmed of the encoder's delay and
    // padding, or with them: a count between the two that the file's tag gives.
    std::optional<velk::test::EncoderTag> tag =
        velk::test::ReadEncoderTag(Content::Read(Content::List("Artifacts/Audio", ".mp3").front()));
    ASSERT_TRUE(tag);
    EXPECT_GE(m->FrameCount, tag->Trimmed());
    EXPECT_LE(m->FrameCount, tag->Untrimmed());
    EXPECT_EQ(line, "Music: velksm\xC3\xB6r.mp3, 155.0 s, 48000 Hz, 2 channels\n");  // either way
    EXPECT_EQ(m->Seconds(), 0.0);

    m->Play(0);
    SleepMs(300);
    double t = m->Seconds();
    EXPECT_GT(t, 0.05);
    EXPECT_LT(t, 3.0);
    m->FadeStart = 0;
    m->FadeEnd = 1000;
    m->Update();  // the voice's volume follows the fade; nothing to observe but that it runs

    m->Play(154.9);
    double first = m->Seconds();
    EXPECT_GE(first, 154.9);
    EXPECT_LT(first, 155.0);
    double reading = first;
    for (int i = 0; i < 100 && reading < 155.0; ++i) {
        SleepMs(20);
        reading = m->Seconds();
    }
    EXPECT_GE(reading, 155.0);
    EXPECT_LT(reading, 155.5);
    SleepMs(100);
    double later = m->Seconds();
    EXPECT_GT(later, reading + 0.05);  // the stopwatch runs in real time

    m->Play(200);
    double past = m->Seconds();
    EXPECT_GE(past, 155.0);
    EXPECT_LT(past, 155.1);
    m->Dispose();
}
