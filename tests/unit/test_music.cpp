#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>

#include "host/content.h"
#include "media/music.h"
#include "music_test_sounds.h"

using velk::Content;
using velk::Music;
namespace vt = velk::testing;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A source tree with a few soundtracks; the music plays on OpenAL's null device.
class MusicTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::UseNullAudioDeviceByDefault();
        // 0.5 s at 48 kHz stereo and 0.25 s at 44.1 kHz mono; "a" sorts first.
        vt::MakeMp3(dir.Root / "Artifacts/Audio/b.mp3", 48000, 2, 24000);
        vt::MakeMp3(dir.Root / "Artifacts/Audio/a.mp3", 44100, 1, 11025);
        vt::MakeMp3(dir.Root / "Artifacts/Empty/e.mp3", 48000, 2, 0);
        std::filesystem::create_directories(dir.Root / "Artifacts/Other");
        std::ofstream(dir.Root / "Artifacts/Other/notes.txt") << "no music here";
        Content::InitializeForTest(dir.Root.string() + "/", velk::EmbeddedStore());
    }
    void TearDown() override { Content::InitializeForTest(std::nullopt, velk::EmbeddedStore()); }

    vt::TempDir dir{"music"};
};

}  // namespace

// The first ".mp3" of the folder by name; its line gives the file name, the length
// with one decimal (0.25 s rounds up), the rate and the channels.
TEST_F(MusicTest, LoadTakesTheFirstMp3AndPrintsItsLine) {
    ::testing::internal::CaptureStdout();
    std::unique_ptr<Music> m = Music::Load("Artifacts/Audio");
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(m);
    EXPECT_EQ(out, "Music: a.mp3, 0.3 s, 44100 Hz, 1 channels\n");
    EXPECT_EQ(m->FrameCount, 11025);
    EXPECT_EQ(m->FadeStart, kInf);
    EXPECT_EQ(m->FadeEnd, kInf);
    m->Dispose();

    EXPECT_FALSE(Music::Load("Artifacts/Other"));
    EXPECT_FALSE(Music::Load("Artifacts/None"));

    // 3.05 s (3.0499999... in binary) rounds up, as the decimal reads.
    vt::MakeMp3(dir.Root / "Artifacts/Odd/c.mp3", 44100, 1, 134505);
    ::testing::internal::CaptureStdout();
    Music("Artifacts/Odd/c.mp3").Dispose();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Music: c.mp3, 3.1 s, 44100 Hz, 1 channels\n");
}

TEST_F(MusicTest, FadeGain) {
    Music m("Artifacts/Audio/b.mp3");
    struct Case {
        double start, end, t;
        float gain;
    };
    const Case cases[] = {
        {10, 20, 5, 1},     {10, 20, 10, 1},     {10, 20, 15, 0.25f}, {10, 20, 20, 0},  {10, 20, 1e9, 0},
        {10, 10, 10, 1},    {10, 10, 10.001, 0}, {10, 5, 10, 1},      {10, 5, 11, 0},   {10, kInf, 1e9, 1},
        {10, kInf, kInf, 1}, {kInf, kInf, 1e300, 1}, {kInf, kInf, kInf, 1}, {10, 20, -kInf, 1},
    };
    for (const Case& c : cases) {
        m.FadeStart = c.start;
        m.FadeEnd = c.end;
        EXPECT_FLOAT_EQ(m.FadeGain(c.t), c.gain) << "start " << c.start << " end " << c.end << " t " << c.t;
    }
    // Quadratic in amplitude, rounded to single precision.
    m.FadeStart = 10;
    m.FadeEnd = 20;
    EXPECT_EQ(m.FadeGain(17), static_cast<float>(0.3 * 0.3));
}

TEST_F(MusicTest, GetPcmClampsToTheTrack) {
    Music m("Artifacts/Audio/b.mp3");
    const int64_t n = m.FrameCount;
    ASSERT_EQ(n, 24000);
    const uint8_t* base = m.GetPcm(0, n).Data;
    EXPECT_EQ(m.GetPcm(0, n).Length, n * 4);
    struct Case {
        int64_t first, count, wantFirst, wantFrames;
    };
    const Case cases[] = {
        {-5, 10, 0, 10},       {n - 3, 10, n - 3, 3}, {n, 10, n, 0},       {n + 1, 10, n, 0},
        {5, -1, 5, 0},         {100, 0, 100, 0},      {0, n + 4800, 0, n}, {std::numeric_limits<int64_t>::min(), 2, 0, 2},
        {2, std::numeric_limits<int64_t>::max(), 2, n - 2},
    };
    for (const Case& c : cases) {
        Music::PcmView v = m.GetPcm(c.first, c.count);
        EXPECT_EQ(v.Length, c.wantFrames * 4) << c.first << ", " << c.count;
        if (c.wantFrames > 0) EXPECT_EQ(v.Data, base + c.wantFirst * 4) << c.first << ", " << c.count;
    }
}

// The clock: 0 before playing, the audio position while playing, the track length
// plus a stopwatch from the end on; a new Play starts over from its own position.
TEST_F(MusicTest, ClockFollowsTheAudioThenTheStopwatch) {
    Music m("Artifacts/Audio/b.mp3");
    const double length = m.Length();
    ASSERT_DOUBLE_EQ(length, 0.5);
    EXPECT_EQ(m.Seconds(), 0.0);
    SleepMs(50);
    EXPECT_EQ(m.Seconds(), 0.0);

    m.Play(0);
    double wall0 = WallSeconds();
    EXPECT_LT(m.Seconds(), 0.05);
    SleepMs(250);
    double t = m.Seconds();
    double wall = WallSeconds() - wall0;
    // The audio rate, within the mixing period and scheduling slack.
    EXPECT_GT(t, wall - 0.1);
    EXPECT_LT(t, wall + 0.05);

    // Across the end: the first reading at or past the length is the length plus a
    // tiny stopwatch reading, and from then on the time rises steadily.
    double previous = t, first = -1;
    for (int i = 0; i < 400 && first < 0; ++i) {
        double s = m.Seconds();
        EXPECT_GE(s, previous - 0.03);
        if (s >= length) first = s;
        previous = s;
        SleepMs(5);
    }
    ASSERT_GE(first, length) << "the clock never reached the track's end";
    EXPECT_LT(first, length + 0.01);
    double a = m.Seconds();
    SleepMs(200);
    double b = m.Seconds();
    EXPECT_GT(b - a, 0.15);
    EXPECT_LT(b - a, 0.4);

    // Playing again: the played count is not lowered, so the time starts over.
    m.Play(0);
    EXPECT_LT(m.Seconds(), 0.05);
    m.Play(0.2);
    double mid = m.Seconds();
    EXPECT_GE(mid, 0.2);
    EXPECT_LT(mid, 0.25);
}

// Starts at or past the end queue nothing: the time is the length plus the
// stopwatch from the first reading on. Negative and NaN starts begin at frame 0.
TEST_F(MusicTest, PlayOutsideTheTrack) {
    Music m("Artifacts/Audio/b.mp3");
    const double length = m.Length();
    for (double start : {length, length + 1.0, 1e300, kInf}) {
        m.Play(start);
        double first = m.Seconds();
        EXPECT_GE(first, length) << start;
        EXPECT_LT(first, length + 0.01) << start;
        SleepMs(60);
        EXPECT_GT(m.Seconds(), first + 0.04) << start;
    }
    for (double start : {-1.0, -kInf, std::nan("")}) {
        m.Play(start);
        EXPECT_LT(m.Seconds(), 0.05) << start;
        SleepMs(100);
        double t = m.Seconds();
        EXPECT_GT(t, 0.02) << start;
        EXPECT_LT(t, 0.2) << start;
    }
}

// A track without frames: the clock is the stopwatch from the first reading on,
// Play queues nothing, and no view has bytes.
TEST_F(MusicTest, EmptyTrack) {
    ::testing::internal::CaptureStdout();
    Music m("Artifacts/Empty/e.mp3");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Music: e.mp3, 0.0 s, 48000 Hz, 2 channels\n");
    ASSERT_EQ(m.FrameCount, 0);
    EXPECT_EQ(m.GetPcm(0, 10).Length, 0);
    m.Play(0);
    double first = m.Seconds();
    EXPECT_GE(first, 0.0);
    EXPECT_LT(first, 0.01);
    SleepMs(60);
    EXPECT_GT(m.Seconds(), first + 0.04);
}
