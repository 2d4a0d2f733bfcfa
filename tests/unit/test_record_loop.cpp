#include <gtest/gtest.h>

#include "fake_window.h"
#include <unistd.h>

#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "host/record_loop.h"
#include "media/recorder_timing.h"

using namespace velk;

namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();

template <class E>
bool Raises(const std::function<void()>& f) {
    try {
        f();
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
    return false;
}

}  // namespace

TEST(RecordOptions, Integers) {
    const std::vector<std::pair<std::string, int32_t>> good = {
        {"60", 60}, {" +7 ", 7}, {"-0", 0}, {"\t12\n", 12}, {"\v\f\r 0030", 30},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"-25", -25},
    };
    for (auto& [text, value] : good) EXPECT_EQ(ParseInt32(text), value) << "'" << text << "'";
    for (const char* text : {"", " ", "+", "-", "1 2", "1.0", "0x10", "+-1", "1,000", "1e3", "12a", "\xD9\xA1"})
        EXPECT_TRUE(Raises<FormatException>([&] { ParseInt32(text); })) << "'" << text << "'";
    for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999"})
        EXPECT_TRUE(Raises<OverflowException>([&] { ParseInt32(text); })) << "'" << text << "'";
    // The form is checked before the range.
    EXPECT_TRUE(Raises<FormatException>([] { ParseInt32("99999999999x"); }));
}

TEST(RecordOptions, SizeParts) {
    EXPECT_EQ(ParseSizeParts("1920x1080"), (std::vector<int32_t>{1920, 1080}));
    EXPECT_EQ(ParseSizeParts("1280x720x1"), (std::vector<int32_t>{1280, 720, 1}));
    EXPECT_EQ(ParseSizeParts(" 640 x 360 "), (std::vector<int32_t>{640, 360}));
    EXPECT_EQ(ParseSizeParts("1280"), (std::vector<int32_t>{1280}));
    for (const char* text : {"1280X720", "1280x", "x720", "1280x720x", "1280xx720", "1280x720xz", ""})
        EXPECT_TRUE(Raises<FormatException>([&] { ParseSizeParts(text); })) << "'" << text << "'";
    EXPECT_TRUE(Raises<OverflowException>([] { ParseSizeParts("1280x9999999999"); }));
}

TEST(RecordOptions, SinglePrecisionNumbers) {
    const std::vector<std::pair<std::string, float>> good = {
        {"1,5", 15.0f}, {"2.5", 2.5f}, {"182.8", 182.8f}, {"10", 10.0f}, {" -3.25 ", -3.25f},
        {"1,000.25", 1000.25f}, {"1,,0,", 10.0f}, {"1e3", 1000.0f}, {"1E+3", 1000.0f}, {"25e-1", 2.5f},
        {".5", 0.5f}, {"5.", 5.0f}, {"+0.1", 0.1f}, {"-0", -0.0f}, {"0e999999999999999999", 0.0f},
        {"infinity", Inf}, {"-Infinity", -Inf}, {" +INFINITY\t", Inf}, {"1e39", Inf}, {"-1e39", -Inf},
        {"1e99999999999999999999", Inf}, {"3.4028235e38", 3.4028235e38f}, {"1e-50", 0.0f},
        {"1e-40", 1e-40f}, {"0.000000000000000000000000000000000000000000000000001e51", 1.0f},
        {"16777217", 16777216.0f},  // ties to even in single precision
    };
    for (auto& [text, value] : good) {
        float parsed = ParseSingle(text);
        EXPECT_EQ(parsed, value) << "'" << text << "'";
        EXPECT_EQ(std::signbit(parsed), std::signbit(value)) << "'" << text << "'";
    }
    for (const char* text : {"NaN", "nan", " -NaN ", "+nAn"}) EXPECT_TRUE(std::isnan(ParseSingle(text))) << text;
    for (const char* text : {"", " ", ",5", ".", "-.", "e5", "1e", "1e+", "1.5.3", "1.5,3", "Inf", "NaN1",
                             "1 e5", "--1", "0x1p3", "1_000", "1,5 ,", "+ 1", "1e5.0", "\xC2\xA0" "1"})
        EXPECT_TRUE(Raises<FormatException>([&] { ParseSingle(text); })) << "'" << text << "'";
}

TEST(RecordOptions, LengthTextIsTheShortestRoundTrip) {
    const std::vector<std::pair<float, std::string>> cases = {
        {60.0f, "60"}, {182.8f, "182.8"}, {1e9f, "1E+09"}, {5e-5f, "5E-05"}, {Inf, "Infinity"},
        {-Inf, "-Infinity"}, {std::nanf(""), "NaN"}, {0.0f, "0"}, {-0.0f, "-0"}, {10.3f, "10.3"},
        {2.5f, "2.5"}, {-2.5f, "-2.5"}, {0.0001f, "0.0001"}, {0.00012f, "0.00012"}, {1.5e10f, "1.5E+10"},
        {123456792.0f, "123456790"}, {12345678.0f, "12345678"}, {100.0f, "100"}, {3.4028235e38f, "3.4028235E+38"},
        {1e-45f, "1E-45"}, {0.1f, "0.1"}, {1.0f / 3.0f, "0.33333334"},
    };
    for (auto& [value, text] : cases) {
        EXPECT_EQ(SingleText(value), text);
        if (!std::isnan(value)) EXPECT_EQ(ParseSingle(text), value) << text;  // reads back the same
    }
    const std::vector<std::pair<float, std::string>> rounded = {
        {0.016666668f, "0"}, {10.016666f, "10"}, {2.5f, "3"}, {-2.5f, "-3"},  // halves away from zero
        {-0.4f, "0"}, {-0.0f, "0"}, {Inf, "Infinity"}, {-Inf, "-Infinity"}, {std::nanf(""), "NaN"},
        {9.223372e18f, "9223372036854775808"},  // 2^63: beyond a 64-bit integer
        {3.4028235e38f, "340282346638528859811704183484516925440"}, {-1e20f, "-100000002004087734272"},
    };
    for (auto& [value, text] : rounded) EXPECT_EQ(RoundedSecondsText(value), text) << value;
}

// ---------------------------------------------------------------------------
// The loop with doubles.

namespace {

struct Events {
    std::vector<std::string> log;  // in the order things happened
};
Events* events = nullptr;

using velk::testing::FakeWindow;

struct FakeRenderer {
    float end = 10.0f, fade = 8.0f;
    int endReads = 0;
    std::vector<float> previews;
    float DemoEnd() {
        ++endReads;
        return end;
    }
    float FinalFadeStart() const { return fade; }
    void Render(int, int, float t) { previews.push_back(t); }
};

struct FakeMusic {
    double FadeStart = Inf, FadeEnd = Inf;
};

// What a recorder saw, kept beyond the recorder's life inside the loop.
struct RecorderLog {
    std::string path;
    int32_t width = 0, height = 0, fps = 0;
    int64_t frames = 0;
    std::vector<float> frameTimes;
    int disposals = 0;
    double fadeStartSeen = 0;
};

struct FakeRecorder {
    static inline RecorderLog* log = nullptr;  // the last recorder made, or null
    static inline RecorderLog storage;

    FakeRecorder(FakeRenderer&, FakeMusic* m, const std::string& p, int32_t w, int32_t h, int32_t f) {
        storage = RecorderLog{p, w, h, f};
        log = &storage;
        if (m) log->fadeStartSeen = m->FadeStart;
        if (events) events->log.push_back("recorder");
    }
    float Seconds() const { return velk::recording::Seconds(log->frames, log->fps); }
    void RecordFrame() {
        log->frameTimes.push_back(Seconds());
        ++log->frames;
    }
    void Dispose() {
        ++log->disposals;
        if (events) events->log.push_back("dispose");
    }
    void CompleteWithoutGpu() {}
};

struct Recording {
    std::string out;
    RecorderLog* recorder = nullptr;
};

Recording Record(FakeWindow& w, FakeRenderer& r, FakeMusic* m, std::vector<std::string> args,
                 std::string path = "/v/out.mp4") {
    std::ostringstream out;
    FakeRecorder::log = nullptr;
    RunRecordLoop<FakeRecorder>(w, r, m, CommandLine(std::move(args)), path, out);
    return {out.str(), FakeRecorder::log};
}

}  // namespace

TEST(RecordLoop, RecordsUntilTheLengthWithPreviewsAndProgress) {
    FakeWindow w;
    FakeRenderer r;
    FakeMusic m;
    Recording run = Record(w, r, &m, {"--record", "x", "--size", "320x180", "--fps", "30", "--length", "25"});
    ASSERT_TRUE(run.recorder);
    EXPECT_EQ(run.recorder->frames, 750);
    EXPECT_EQ(run.recorder->width, 320);
    EXPECT_EQ(run.recorder->height, 180);
    EXPECT_EQ(run.recorder->fps, 30);
    EXPECT_EQ(run.recorder->path, "/v/out.mp4");
    EXPECT_EQ(run.recorder->disposals, 1);
    EXPECT_EQ(run.recorder->frameTimes[1], 1.0f / 30.0f);
    EXPECT_EQ(run.out,
              "Recording 25 s at 320x180, 30 fps to /v/out.mp4\n"
              "  0 s\n  10 s\n  20 s\n"
              "Done.\n");
    // Every tenth frame is previewed at its own time, before it is recorded.
    ASSERT_EQ(r.previews.size(), 75u);
    EXPECT_EQ(r.previews[0], 0.0f);
    EXPECT_EQ(r.previews[1], run.recorder->frameTimes[10]);
    EXPECT_EQ(w.pumps, 750);
    EXPECT_EQ(w.destroys, 0);  // the shutdown destroys the window
    // The fade window was set before the recorder was made, from the shader's times.
    EXPECT_EQ(run.recorder->fadeStartSeen, 8.0);
    EXPECT_EQ(m.FadeEnd, 10.0);
}

TEST(RecordLoop, DefaultsAreFullHdAtSixtyForTheShowsEndPlusAShortPause) {
    FakeWindow w;
    FakeRenderer r;  // end 10 s: 10.3 s at 60 fps is 618 frames
    Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--record", "x"});
    EXPECT_EQ(run.recorder->frames, 618);
    EXPECT_EQ(run.recorder->width, 1920);
    EXPECT_EQ(run.recorder->height, 1080);
    EXPECT_EQ(run.recorder->fps, 60);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "Recording 10.3 s at 1920x1080, 60 fps to /v/out.mp4");
    // A fractional length: 2.5 s at 60 fps is 150 frames.
    FakeWindow w2;
    EXPECT_EQ(Record(w2, r, static_cast<FakeMusic*>(nullptr), {"--length", "2.5"}).recorder->frames, 150);
}

TEST(RecordLoop, LengthsThatRecordNothing) {
    for (const char* length : {"0", "-1", "NaN", "-Infinity"}) {
        FakeWindow w;
        FakeRenderer r;
        Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--length", length, "--size", "64x64"});
        ASSERT_TRUE(run.recorder) << length;
        EXPECT_EQ(run.recorder->frames, 0) << length;
        EXPECT_EQ(run.recorder->disposals, 1) << length;
        EXPECT_EQ(run.out, "Recording " + SingleText(ParseSingle(length)) + " s at 64x64, 60 fps to /v/out.mp4\nDone.\n");
        EXPECT_EQ(w.pumps, 0);
    }
    // A rate of 0: the recorded time is not a number, so no pass runs either.
    FakeWindow w;
    FakeRenderer r;
    EXPECT_EQ(Record(w, r, static_cast<FakeMusic*>(nullptr), {"--fps", "0", "--length", "5"}).recorder->frames, 0);
}

TEST(RecordLoop, EscapeRecordsTwoMoreFramesAndTheUserClosingOne) {
    {
        FakeWindow w;
        w.onPump = [](FakeWindow& win, int n) {
            if (n == 5) win.Keys = {65, 27, 27};
        };
        FakeRenderer r;
        r.end = Inf;  // no end time: only the window ends it
        Events ev;
        events = &ev;
        Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--size", "320x180"});
        events = nullptr;
        EXPECT_EQ(run.recorder->frames, 6);  // the pass that took Escape (5th) and the next
        EXPECT_EQ(w.destroys, 1);
        EXPECT_EQ(run.out, "Recording Infinity s at 320x180, 60 fps to /v/out.mp4\n  0 s\nDone.\n");
        EXPECT_EQ(ev.log, (std::vector<std::string>{"recorder", "dispose"}));
    }
    {
        FakeWindow w;
        w.onPump = [](FakeWindow& win, int n) {
            if (n == 3) win.Destroy();  // the user closes it during the third pump
        };
        FakeRenderer r;
        r.end = Inf;
        EXPECT_EQ(Record(w, r, static_cast<FakeMusic*>(nullptr), {}).recorder->frames, 3);
    }
}

TEST(RecordLoop, MinimisedWindowGetsNoPreviews) {
    FakeWindow w;
    w.Width = 0;
    w.Height = 0;
    FakeRenderer r;
    Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--length", "1"});
    EXPECT_EQ(run.recorder->frames, 60);
    EXPECT_TRUE(r.previews.empty());
}

TEST(RecordLoop, BadOptionsRaiseBeforeTheRecorderIsMade) {
    struct Case {
        std::vector<std::string> args;
        std::string path;
        std::function<bool(const std::function<void()>&)> raises;
        bool fadeSet;  // whether the fade window was set before the error
    };
    const std::vector<Case> cases = {
        {{"--size", "1280X720"}, "o.mp4", Raises<FormatException>, false},
        {{"--size", "1280x"}, "o.mp4", Raises<FormatException>, false},
        {{"--fps", "6O"}, "o.mp4", Raises<FormatException>, false},
        {{"--fps", "99999999999"}, "o.mp4", Raises<OverflowException>, false},
        {{"--length", "ten"}, "o.mp4", Raises<FormatException>, false},
        {{"--size", "1280"}, "o.mp4", Raises<IndexOutOfRangeException>, true},
        {{}, "", Raises<ArgumentException>, true},
        {{"--size", "1280"}, "  ", Raises<ArgumentException>, true},  // the path is made absolute first
    };
    for (const Case& c : cases) {
        FakeWindow w;
        FakeRenderer r;
        FakeMusic m;
        FakeRecorder::log = nullptr;
        std::ostringstream out;
        EXPECT_TRUE(c.raises([&] { RunRecordLoop<FakeRecorder>(w, r, &m, CommandLine(c.args), c.path, out); }))
            << (c.args.empty() ? c.path : c.args.back());
        EXPECT_EQ(FakeRecorder::log, nullptr);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(m.FadeEnd == 10.0, c.fadeSet);
    }
}

TEST(RecordLoop, SizeValuesAreTakenOrRefusedInTheUsersWords) {
    // Each "--size" value either reaches the recorder as (width, height) or raises
    // before the recorder is made, with a message that quotes the value as typed.
    struct Case {
        const char* typed;
        int32_t width, height;  // what the recorder gets; 0, 0 when the value is refused
        const char* kind;       // the error's kind when refused
    } cases[] = {
        {"640x360", 640, 360, nullptr},
        {" 640 x 360 ", 640, 360, nullptr},
        {"640x360x2", 640, 360, nullptr},     // further parts are read and ignored
        {"99999999x1", 99999999, 1, nullptr},  // beyond any texture: the GPU refuses it, naming the size
        {"-640x360", 0, 0, "ArgumentOutOfRangeException"},
        {"640x-360", 0, 0, "ArgumentOutOfRangeException"},
        {"0x0", 0, 0, "ArgumentOutOfRangeException"},
        {"-0x360", 0, 0, "ArgumentOutOfRangeException"},
        {"640x", 0, 0, "FormatException"},
        {"x360", 0, 0, "FormatException"},
        {"640x360x", 0, 0, "FormatException"},
        {"640X360", 0, 0, "FormatException"},
        {"1280x9999999999", 0, 0, "OverflowException"},
        {"1280", 0, 0, "IndexOutOfRangeException"},
    };
    for (const Case& c : cases) {
        FakeWindow w;
        FakeRenderer r;
        try {
            Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--size", c.typed, "--length", "0"});
            EXPECT_EQ(c.kind, nullptr) << c.typed << " was taken";
            ASSERT_NE(run.recorder, nullptr) << c.typed;
            EXPECT_EQ(run.recorder->width, c.width) << c.typed;
            EXPECT_EQ(run.recorder->height, c.height) << c.typed;
        } catch (const velk::Exception& e) {
            ASSERT_NE(c.kind, nullptr) << c.typed << ": " << e.what();
            EXPECT_STREQ(e.Kind(), c.kind) << c.typed;
            EXPECT_NE(e.Message().find("'" + std::string(c.typed) + "'"), std::string::npos) << e.what();
            EXPECT_EQ(FakeRecorder::log, nullptr) << c.typed;
        }
    }
    // The messages of the commonest mistakes, whole.
    auto message = [](const char* typed) {
        FakeWindow w;
        FakeRenderer r;
        try {
            Record(w, r, static_cast<FakeMusic*>(nullptr), {"--size", typed});
        } catch (const velk::Exception& e) {
            return std::string(e.Kind()) + ": " + e.Message();
        }
        return std::string();
    };
    EXPECT_EQ(message("-640x360"),
              "ArgumentOutOfRangeException: The recording size '-640x360' needs a width and a height of at least 1");
    EXPECT_EQ(message("640x"), "FormatException: The input string '' in '640x' was not in a correct format.");
    EXPECT_EQ(message("1280X720"), "FormatException: The input string '1280X720' was not in a correct format.");
}

TEST(RecordLoop, RelativePathIsMadeAbsolute) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    FakeWindow w;
    FakeRenderer r;
    Recording run = Record(w, r, static_cast<FakeMusic*>(nullptr), {"--length", "0"}, "clips/../out.mp4");
    EXPECT_EQ(run.recorder->path, std::string(cwd) + "/out.mp4");
    EXPECT_NE(run.out.find(" fps to " + std::string(cwd) + "/out.mp4\n"), std::string::npos);
}
