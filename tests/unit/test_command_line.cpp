#include <gtest/gtest.h>

#include "host/program.h"

using velk::CommandLine;
using velk::DecideLaunch;
using velk::PlanWindow;
using velk::VideoMode;

TEST(CommandLine, LaunchDecisions) {
    struct Case {
        std::vector<std::string> args;
        bool fullScreen;
        bool showDialog;
        std::optional<std::string> record;
    } cases[] = {
        {{}, true, true, std::nullopt},
        {{"-w"}, false, false, std::nullopt},
        {{"-f"}, true, false, std::nullopt},
        {{"-w", "-f"}, true, false, std::nullopt},
        {{"-f", "-w"}, true, false, std::nullopt},
        {{"--setup", "-w"}, false, true, std::nullopt},
        {{"--record", "out.mp4"}, false, false, "out.mp4"},
        {{"--record", "out.mp4", "-f"}, false, false, "out.mp4"},
        {{"--record", "out.mp4", "--setup"}, false, true, "out.mp4"},
        {{"--record"}, true, true, std::nullopt},            // last argument: absent
        {{"-w", "--record"}, false, false, std::nullopt},
        {{"--record", "-w"}, false, false, "-w"},            // the value also counts as a flag
        {{"--record", "a.mp4", "--record", "b.mp4"}, false, false, "a.mp4"},
        {{"-W", "--Setup", "-F"}, true, true, std::nullopt},  // case matters: ignored
        {{"junk", "-w"}, false, false, std::nullopt},
    };
    for (const Case& c : cases) {
        auto d = DecideLaunch(CommandLine(c.args));
        std::string label;
        for (auto& a : c.args) label += a + " ";
        EXPECT_EQ(d.FullScreen, c.fullScreen) << label;
        EXPECT_EQ(d.ShowDialog, c.showDialog) << label;
        EXPECT_EQ(d.RecordPath, c.record) << label;
    }
}

TEST(CommandLine, OptionValues) {
    CommandLine cl({"--size", "-f", "--fps", "30", "--size", "640x360", "--length"});
    EXPECT_EQ(cl.Value("--size"), "-f");
    EXPECT_TRUE(cl.Has("-f"));
    EXPECT_EQ(cl.Value("--fps"), "30");
    EXPECT_EQ(cl.Value("--length"), std::nullopt);
}

TEST(CommandLine, WindowPlanFromMode) {
    velk::LaunchDecisions full;  // full screen, no mode
    auto p = PlanWindow(full, std::nullopt);
    EXPECT_TRUE(p.FullScreen);
    EXPECT_EQ(p.Width, 1280);
    EXPECT_EQ(p.Height, 720);
    EXPECT_FALSE(p.FixedSize);

    velk::LaunchDecisions windowed;
    windowed.FullScreen = false;
    p = PlanWindow(windowed, VideoMode{1280, 720, false});  // full-screen choice wins
    EXPECT_TRUE(p.FullScreen);
    ASSERT_TRUE(p.FixedSize);
    EXPECT_EQ(*p.FixedSize, std::make_pair(1280, 720));

    p = PlanWindow(full, VideoMode{1600, 900, true});
    EXPECT_FALSE(p.FullScreen);
    EXPECT_EQ(p.Width, 1600);
    EXPECT_EQ(p.Height, 900);
    EXPECT_FALSE(p.FixedSize);
}

TEST(Program, ReverseWorksOnCodeUnits) {
    EXPECT_EQ(velk::Program::Reverse("Velkt som snus!"), "!suns mos tkleV");
    EXPECT_EQ(velk::Program::Reverse("g\xC3\xA5va"), "av\xC3\xA5g");
    EXPECT_EQ(velk::Program::Reverse(""), "");
}
