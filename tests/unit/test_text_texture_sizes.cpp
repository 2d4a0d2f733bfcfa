// The pixel sizes of the show's fourteen text textures, laid out in the project's font.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "host/texture_table.h"
#include "textures/canvas.h"
#include "textures/textures.h"
#include "texture_fixtures.h"

using velk::Textures;

TEST(TextTextureSizes, TheShowsTextsHaveTheirSizes) {
    // The shader sizes and times the texts by these pixel sizes (the scroll texts'
    // decide when the show ends), so every platform must lay them out alike.
    std::vector<uint8_t> font = velk::testing::ProjectFont();
    if (font.empty()) GTEST_SKIP() << "the project's font is not in the source tree";
    velk::canvas::TextFactory factory;
    auto collection = Textures::LoadFontCollection(factory, font);
    struct Size {
        const char* name;
        float width, height;
    } sizes[] = {
        {"Title", 1667, 626},       {"TumloCaption", 1340, 180}, {"Q9Caption", 1296, 180},
        {"VispelCaption", 1809, 180}, {"Scrolltext", 6585, 187}, {"ScrollUp", 131, 7660},
        {"ScrollDown", 131, 7117},  {"Velkt", 750, 360},         {"Credits1", 1005, 479},
        {"Credits2", 671, 331},     {"Verse1", 1177, 331},       {"Verse2", 1069, 338},
        {"Verse3", 1143, 331},      {"Verse4", 990, 482},
    };
    int checked = 0;
    for (const velk::TextureEntry& e : velk::TextureTable::CreationOrder()) {
        if (e.Source != velk::TextureSource::Text) continue;
        const Size* size = std::find_if(std::begin(sizes), std::end(sizes),
                                        [&](const Size& s) { return std::string(s.name) == e.Name; });
        ASSERT_NE(size, std::end(sizes)) << e.Name;
        Textures::TextBlock b = Textures::LayOutText(factory, *collection, velk::TextureTable::TextOf(e), e.FontSize,
                                                     e.LineSpacing, e.Alignment);
        EXPECT_EQ(b.Placement.Width, size->width) << e.Name;
        if (velk::testing::InkRoundedToWholePixels()) {
            // Up to one pixel more where an ink top rounded up passes the next whole pixel.
            EXPECT_GE(b.Placement.Height, size->height) << e.Name;
            EXPECT_LE(b.Placement.Height, size->height + 1) << e.Name;
        } else {
            EXPECT_EQ(b.Placement.Height, size->height) << e.Name;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 14);
}
