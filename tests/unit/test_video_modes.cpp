#include <gtest/gtest.h>

#include <stdexcept>

#include "window/setup_dialog.h"

using velk::ModeSize;
using velk::SetupDialog;
using velk::VideoMode;

namespace {
std::vector<ModeSize> Failing() { throw std::runtime_error("no display"); }
}  // namespace

TEST(VideoModes, ListFromQueries) {
    struct Case {
        std::function<std::vector<ModeSize>()> query;
        ModeSize screen;
        std::vector<ModeSize> expected;
    } cases[] = {
        {Failing, {1920, 1080}, {{3840, 2160}, {2560, 1440}, {1920, 1080}, {1600, 900}, {1280, 720}}},
        {Failing, {1366, 768}, {{3840, 2160}, {2560, 1440}, {1920, 1080}, {1600, 900}, {1366, 768}, {1280, 720}}},
        {[] { return std::vector<ModeSize>{{800, 600}, {800, 600}, {1024, 768}, {1024, 768}, {1920, 1080}, {1920, 1080}}; },
         {1920, 1080},
         {{1920, 1080}, {1024, 768}, {800, 600}}},
        {[] { return std::vector<ModeSize>{{640, 480}, {799, 600}}; }, {1280, 1024}, {{1280, 1024}}},
        {[] { return std::vector<ModeSize>{}; }, {1280, 1024}, {{1280, 1024}}},
        {[] { return std::vector<ModeSize>{{1600, 1200}, {1920, 1000}}; }, {640, 480}, {{1920, 1000}, {1600, 1200}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SetupDialog::ListVideoModesFrom(c.query, c.screen.first, c.screen.second), c.expected)
            << c.screen.first << "x" << c.screen.second;
}

TEST(VideoModes, AspectLabelsAndEntryText) {
    struct Case {
        int w, h;
        const char* label;
    } cases[] = {
        {1920, 1080, "16:9"}, {1366, 768, "16:9"}, {1280, 800, "16:10"}, {1024, 768, "4:3"},
        {1280, 1024, "5:4"},  {2560, 1080, "21:9"}, {3440, 1440, "21:9"}, {5120, 1440, "32:9"},
        {1920, 1280, "1.50:1"}, {900, 800, "1.13:1"}, {1080, 1920, "0.56:1"}, {3840, 1600, "2.40:1"},
    };
    for (const Case& c : cases) EXPECT_EQ(SetupDialog::AspectLabel(c.w, c.h), c.label) << c.w << "x" << c.h;
    EXPECT_EQ(SetupDialog::EntryText(1920, 1080), "1920 \xC3\x97 1080  (16:9)");
    EXPECT_EQ(SetupDialog::EntryText(3840, 1600), "3840 \xC3\x97 1600  (2.40:1)");
}

TEST(VideoModes, Equality) {
    EXPECT_EQ((VideoMode{1280, 720, true}), (VideoMode{1280, 720, true}));
    EXPECT_FALSE((VideoMode{1280, 720, true}).Equals(VideoMode{1280, 720, false}));
    std::optional<VideoMode> none;
    EXPECT_NE(none, std::optional<VideoMode>(VideoMode{1280, 720, true}));
}

TEST(SetupDialogLayout, ScalesAtSystemDpi) {
    struct Case {
        float s;
        float v;
        int expected;
    } cases[] = {
        {1.0f, 340, 340}, {1.25f, 340, 425}, {1.25f, 220, 275}, {1.25f, 14, 18},  {1.25f, 27, 34},
        {1.25f, 18, 22},  {1.25f, 42, 52},   {1.25f, 70, 88},   {1.25f, 260, 325}, {1.25f, 130, 162},
        {1.25f, 226, 282}, {1.5f, 340, 510}, {1.5f, 220, 330},  {1.5f, 14, 21},    {1.5f, 27, 40},
    };
    for (const Case& c : cases) EXPECT_EQ(SetupDialog::R(c.s, c.v), c.expected) << c.s << " " << c.v;
}

TEST(SetupDialogLayout, SelectionAndStart) {
    std::vector<ModeSize> modes = {{3840, 2160}, {1920, 1080}, {1280, 720}};
    EXPECT_EQ(SetupDialog::DefaultSelection(modes, 1920, 1080), 1);
    EXPECT_EQ(SetupDialog::DefaultSelection(modes, 640, 480), 0);
    EXPECT_EQ(SetupDialog::StartResult(modes, 2, true, 1920, 1080), (VideoMode{1280, 720, true}));
    EXPECT_EQ(SetupDialog::StartResult(modes, -1, false, 1920, 1080), (VideoMode{3840, 2160, false}));
    EXPECT_EQ(SetupDialog::StartResult({}, 0, false, 640, 480), (VideoMode{640, 480, true}));
}
