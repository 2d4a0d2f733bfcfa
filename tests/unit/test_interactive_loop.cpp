#include <gtest/gtest.h>

#include "fake_window.h"

#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

#include "host/interactive_loop.h"

namespace {

using velk::testing::FakeWindow;

struct FakeRenderer {
    float end = std::numeric_limits<float>::infinity();
    float fade = std::numeric_limits<float>::infinity();
    std::vector<float> frames;
    float DemoEnd() const { return end; }
    float FinalFadeStart() const { return fade; }
    void Render(int, int, float t) { frames.push_back(t); }
};

struct FakeMusic : velk::IClock {
    double FadeStart = 0, FadeEnd = 0;
    int updates = 0;
    double Seconds() override { return 0; }
    void Play(int64_t) {}
    void Update() { ++updates; }
};

// A clock that returns the next of a list of readings (the last one repeats).
struct ScriptedClock : velk::IClock {
    std::vector<double> readings;
    size_t next = 0;
    double Seconds() override {
        double t = readings[std::min(next, readings.size() - 1)];
        ++next;
        return t;
    }
};

int sleeps = 0;
void CountSleep(uint32_t ms) {
    EXPECT_EQ(ms, 10u);
    ++sleeps;
}

}  // namespace

TEST(InteractiveLoop, EscapeDestroysOnceAndDrawsThatPassOnly) {
    FakeWindow w;
    w.onPump = [](FakeWindow& win, int n) {
        if (n == 3) win.Keys = {65, 27, 27, 13};  // two Escapes among other keys
    };
    FakeRenderer r;
    ScriptedClock c;
    c.readings = {0.0};
    FakeMusic* none = nullptr;
    velk::InteractiveLoopPasses(w, r, none, c, CountSleep);
    EXPECT_EQ(w.destroys, 1);
    EXPECT_TRUE(w.Keys.empty());
    EXPECT_EQ(r.frames.size(), 3u);  // passes 1, 2 and the Escape pass; none after
    EXPECT_EQ(w.pumps, 4);
}

TEST(InteractiveLoop, EndTestIsStrictAndReadsTheClockTwicePerFrame) {
    FakeWindow w;
    FakeRenderer r;
    r.end = 10.0f;
    const double end = static_cast<double>(10.0f + 0.3f);
    ScriptedClock c;
    // Pass 1: end test at exactly the end, frame at 1.0; pass 2: just above, frame at 2.0.
    c.readings = {end, 1.0, std::nextafter(end, 100.0), 2.0, 99.0};
    FakeMusic* none = nullptr;
    velk::InteractiveLoopPasses(w, r, none, c, CountSleep);
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0], 1.0f);
    EXPECT_EQ(r.frames[1], 2.0f);  // the destroying pass still draws, with the second reading
    EXPECT_EQ(w.destroys, 1);
    EXPECT_EQ(c.next, 5u);  // the last pass reads once and leaves without drawing
}

TEST(InteractiveLoop, InfiniteOrNanEndNeverEnds) {
    for (float end : {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        FakeWindow w;
        w.onPump = [](FakeWindow& win, int n) {
            if (n == 50) win.Destroy();  // the user closes the window
        };
        FakeRenderer r;
        r.end = end;
        ScriptedClock c;
        c.readings = {1e9};
        FakeMusic* none = nullptr;
        velk::InteractiveLoopPasses(w, r, none, c, CountSleep);
        EXPECT_EQ(r.frames.size(), 49u);  // closing from the frame: that pass draws nothing
        EXPECT_EQ(w.destroys, 1);
    }
}

TEST(InteractiveLoop, EmptyClientAreaSleepsAndMusicFollowsTheFadeWindow) {
    FakeWindow w;
    w.Width = 0;
    w.Height = 0;
    w.onPump = [](FakeWindow& win, int n) {
        if (n == 4) win.Destroy();
    };
    FakeRenderer r;
    r.end = 140.5f;
    r.fade = 138.0f;
    FakeMusic m;
    ScriptedClock c;
    c.readings = {0.0};
    sleeps = 0;
    velk::InteractiveLoopPasses(w, r, &m, c, CountSleep);
    EXPECT_TRUE(r.frames.empty());
    EXPECT_EQ(sleeps, 3);
    EXPECT_EQ(m.updates, 4);
    EXPECT_EQ(m.FadeStart, 138.0);
    EXPECT_EQ(m.FadeEnd, 140.5);
}

TEST(Clock, TruncatesToWholeTicksAndSaturates) {
    EXPECT_EQ(velk::Clock::ElapsedSeconds(0, 1000000000), 0.0);
    EXPECT_EQ(velk::Clock::ElapsedSeconds(1234567891, 1000000000), 1.2345678);
    EXPECT_EQ(velk::Clock::ElapsedSeconds(1, 3), 0.3333333);
    EXPECT_EQ(velk::Clock::ElapsedSeconds(std::numeric_limits<int64_t>::max(), 1),
              static_cast<double>(std::numeric_limits<int64_t>::max()) / 1e7);
    velk::Clock clock;
    double a = clock.Seconds(), b = clock.Seconds();
    EXPECT_GE(a, 0.0);
    EXPECT_GE(b, a);
}
