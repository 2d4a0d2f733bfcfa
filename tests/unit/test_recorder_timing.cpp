#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "media/recorder_timing.h"

using namespace velk::recording;

TEST(RecorderTiming, AudioChunksTileTheTrackWithTruncatedTimes) {
    struct Case {
        int32_t rate, fps;
        std::vector<int64_t> starts, counts, times, durations;
    };
    const std::vector<Case> cases = {
        {48000, 60, {0, 800, 1600, 2400}, {800, 800, 800, 800}, {0, 166666, 333333, 500000},
         {166666, 166666, 166666, 166666}},
        {44100, 24, {0, 1837, 3675, 5512, 7350}, {1837, 1838, 1837, 1838, 1837},
         {0, 416553, 833333, 1249886, 1666666}, {416553, 416780, 416553, 416780, 416553}},
        {44100, 60, {0, 735, 1470}, {735, 735, 735}, {0, 166666, 333333}, {166666, 166666, 166666}},
        {48000, 24, {0, 2000, 4000}, {2000, 2000, 2000}, {0, 416666, 833333}, {416666, 416666, 416666}},
    };
    for (const Case& c : cases) {
        for (size_t k = 0; k < c.starts.size(); ++k) {
            AudioChunk chunk = AudioChunkOf(static_cast<int64_t>(k), c.rate, c.fps);
            EXPECT_EQ(chunk.Start, c.starts[k]) << c.rate << "@" << c.fps << " frame " << k;
            EXPECT_EQ(chunk.Count, c.counts[k]) << c.rate << "@" << c.fps << " frame " << k;
            EXPECT_EQ(chunk.Time, c.times[k]) << c.rate << "@" << c.fps << " frame " << k;
            EXPECT_EQ(chunk.Duration, c.durations[k]) << c.rate << "@" << c.fps << " frame " << k;
        }
        // Three minutes of frames: each chunk starts where the one before ended.
        int64_t next = 0;
        for (int64_t k = 0; k < 180 * c.fps; ++k) {
            AudioChunk chunk = AudioChunkOf(k, c.rate, c.fps);
            ASSERT_EQ(chunk.Start, next) << k;
            next += chunk.Count;
        }
        EXPECT_EQ(next, int64_t(180) * c.rate);
    }
}

TEST(RecorderTiming, VideoTimesAreComputedAfreshAndDurationsTruncate) {
    const int64_t times60[] = {0, 166666, 333333, 500000, 666666};
    for (int64_t k = 0; k < 5; ++k) EXPECT_EQ(VideoTime(k, 60), times60[k]);
    EXPECT_EQ(VideoDuration(60), 166666);
    EXPECT_EQ(VideoTime(216000, 60), 36000000000);  // an hour in, no accumulated error
    EXPECT_EQ(VideoDuration(24), 416666);
    EXPECT_EQ(VideoDuration(30), 333333);

    EXPECT_EQ(Seconds(0, 60), 0.0f);
    EXPECT_EQ(Seconds(1, 60), static_cast<float>(1.0 / 60.0));
    EXPECT_EQ(Seconds(618, 60), 10.3f);
    EXPECT_TRUE(std::isnan(Seconds(0, 0)));
    EXPECT_LT(Seconds(5, -60), 0.0f);
}

TEST(RecorderTiming, AverageBitRate) {
    EXPECT_EQ(AverageBitRate(1920, 1080, 60), 15552000u);
    EXPECT_EQ(AverageBitRate(320, 180, 30), 216000u);
    EXPECT_EQ(AverageBitRate(321, 181, 7), 50838u);  // truncated: 50838.375
    EXPECT_EQ(AverageBitRate(16384, 16384, 240), 2147483647u);         // beyond 32 bits: the largest
    EXPECT_EQ(AverageBitRate(320, 180, -30), 0u);
}

TEST(RecorderTiming, FadeTruncatesTowardZeroWithOneGainPerSampleFrame) {
    const std::vector<int16_t> in = {-3, 3, -32768, 32767, 7, -7};
    std::vector<int16_t> out(in.size());
    std::vector<double> asked;
    auto half = [&](double t) {
        asked.push_back(t);
        return 0.5f;
    };
    FadeSamples(reinterpret_cast<const uint8_t*>(in.data()), reinterpret_cast<uint8_t*>(out.data()), in.size() * 2,
                10, 100, 2, half);
    EXPECT_EQ(out, (std::vector<int16_t>{-1, 1, -16384, 16383, 3, -3}));
    // Every value asks for its gain; both channels of a sample frame at the same time.
    EXPECT_EQ(asked, (std::vector<double>{0.10, 0.10, 0.11, 0.11, 0.12, 0.12}));

    FadeSamples(reinterpret_cast<const uint8_t*>(in.data()), reinterpret_cast<uint8_t*>(out.data()), in.size() * 2,
                0, 48000, 2, [](double) { return 1.0f; });
    EXPECT_EQ(out, in);  // before the fade: unchanged, the extremes included
    FadeSamples(reinterpret_cast<const uint8_t*>(in.data()), reinterpret_cast<uint8_t*>(out.data()), in.size() * 2,
                0, 48000, 2, [](double) { return 0.0f; });
    EXPECT_EQ(out, std::vector<int16_t>(in.size(), 0));  // after its end: silence
}

TEST(RecorderTiming, PackRowsSkipsTheRowPadding) {
    // Two rows of 2 pixels (8 bytes) with a pitch of 12: the 4 padding bytes stay behind.
    std::vector<uint8_t> mapped(24);
    for (size_t i = 0; i < mapped.size(); ++i) mapped[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> packed(16, 0xEE);
    PackRows(packed.data(), mapped.data(), 8, 2, 12);
    EXPECT_EQ(packed, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 17, 18, 19}));
}
