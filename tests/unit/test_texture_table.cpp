#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/program.h"
#include "host/text.h"
#include "host/texture_table.h"
#include "render/gpu.h"

using velk::TextureEntry;
using velk::TextureTable;

namespace {

// A view that records when it goes.
struct FakeView : velk::gpu::ShaderResourceView {
    uint32_t slot;
    std::vector<uint32_t>* released;
    FakeView(uint32_t s, std::vector<uint32_t>* r) : slot(s), released(r) {}
    ~FakeView() override { released->push_back(slot); }
    std::shared_ptr<velk::gpu::Texture2D> Resource() const override { return nullptr; }
};

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines(1);
    for (char c : s) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back() += c;
    }
    return lines;
}

}  // namespace

TEST(TextureTable, MadeInCreationOrderHandedOverInSlotOrder) {
    std::vector<uint32_t> made, released;
    TextureTable table = TextureTable::Make([&](const TextureEntry& e) {
        made.push_back(e.Slot);
        return std::make_shared<FakeView>(e.Slot, &released);
    });
    const std::vector<uint32_t> creation = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 19, 16, 17, 18, 12, 13, 14, 15};
    EXPECT_EQ(made, creation);

    {
        std::vector<TextureTable::View> views = table.SlotOrder();
        ASSERT_EQ(views.size(), 20u);
        for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(static_cast<FakeView&>(*views[i]).slot, i);
    }
    EXPECT_TRUE(released.empty()) << "the array shares the views, it does not release them";

    table.Release();
    std::vector<uint32_t> reverse(creation.rbegin(), creation.rend());
    EXPECT_EQ(released, reverse);
}

TEST(TextureTable, Entries) {
    auto entries = TextureTable::CreationOrder();
    ASSERT_EQ(entries.size(), 20u);
    const char* names[20] = {"Logo",     "Title",    "Tumlo",    "Q9",       "Vispel",       "TumloCaption", "Q9Caption",
                             "VispelCaption", "Scrolltext", "ScrollUp", "ScrollDown", "DataVelk", "Verse1",
                             "Verse2",   "Verse3",   "Verse4",   "Velkt",    "Credits1",     "Credits2",     "Picture"};
    int svg = 0, images = 0, texts = 0;
    for (const TextureEntry& e : entries) {
        EXPECT_STREQ(e.Name, names[e.Slot]);
        svg += e.Source == velk::TextureSource::Svg;
        images += e.Source == velk::TextureSource::Image;
        texts += e.Source == velk::TextureSource::Text;
    }
    EXPECT_EQ(svg, 1);
    EXPECT_EQ(images, 5);
    EXPECT_EQ(texts, 14);
}

TEST(TextureTable, ScrollColumnsHaveOneLinePerCharacter) {
    auto entries = TextureTable::CreationOrder();
    auto slot = [&](uint32_t s) {
        return *std::find_if(entries.begin(), entries.end(), [&](const TextureEntry& e) { return e.Slot == s; });
    };
    const std::string up = "Nu jävlar nu kör vi nu dör vi! Jag ska velka hela Grubbmo lilla mamma!";
    const std::string down = "Velkt som snus. Velkgudarnas gåva till det utvalda Tjärnbyfolket!";

    std::vector<std::string> upLines = Lines(TextureTable::TextOf(slot(9)));
    EXPECT_EQ(upLines.size(), velk::text::Utf8ToUtf16(up).size()) << "blanks included";
    EXPECT_EQ(upLines[0], "N");
    EXPECT_EQ(upLines[2], " ");
    EXPECT_EQ(upLines[4], "ä");

    std::vector<std::string> downLines = Lines(TextureTable::TextOf(slot(10)));
    EXPECT_EQ(downLines.size(), velk::text::Utf8ToUtf16(down).size());
    EXPECT_EQ(downLines.front(), "!");
    EXPECT_EQ(downLines.back(), "V");
    EXPECT_EQ(TextureTable::TextOf(slot(10)), TextureTable::OneCharacterPerLine(velk::Program::Reverse(down)));

    EXPECT_EQ(TextureTable::OneCharacterPerLine("ab"), "a\nb");
    EXPECT_EQ(TextureTable::OneCharacterPerLine(""), "");
    EXPECT_EQ(TextureTable::TextOf(slot(1)), "TOVELMARK\nVELK");
}
