// The shipped demo shader and its settings file: layout of the source, and the
// timeline the settings give the finale.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "demo_timeline.h"
#include "render/shader_settings.h"

using velk::ShaderSettings;

namespace {

std::string ReadSource(const std::string& name) {
    const char* dir = std::getenv("VELK_SOURCE_DIR");
    std::string path = std::string(dir ? dir : VELK_SOURCE_DIR) + "/" + name;
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "can't read " << path;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(DemoShaderTest, SourceIsPlainAsciiWithOneMarkerLine) {
    std::string source = ReadSource("Shaders/demo.hlsl");
    for (size_t i = 0; i < source.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(source[i]);
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "byte " << int(c) << " at offset " << i;
    }
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(source.back(), '\n');

    std::vector<std::string> lines = Lines(source);
    int markerLines = 0;
    for (const std::string& line : lines)
        if (line.find(ShaderSettings::Marker) != std::string::npos) {
            ++markerLines;
            EXPECT_EQ(line, "//@settings");
        }
    EXPECT_EQ(markerLines, 1);

    // The settings go in without moving any later line.
    std::string spliced = ShaderSettings::Apply(source, ReadSource("Shaders/demo.hlsl.json"));
    EXPECT_EQ(Lines(spliced).size(), lines.size());
}

// Resources first, then the marker, then everything that may use the settings,
// each function after the functions it calls.
TEST(DemoShaderTest, DeclarationsStandInTheirOrder) {
    std::string source = ReadSource("Shaders/demo.hlsl");

    const std::vector<std::string> textures = {
        "Logo",       "Title",    "Tumlo",    "Q9",     "Vispel",   "TumloCaption", "Q9Caption",
        "VispelCaption", "Scrolltext", "ScrollUp", "ScrollDown", "DataVelk", "Verse1", "Verse2",
        "Verse3",     "Verse4",   "Velkt",    "Credits1", "Credits2", "Picture"};
    std::vector<std::string> order = {"cbuffer Globals : register(b0)"};
    for (size_t i = 0; i < textures.size(); ++i)
        order.push_back("Texture2D " + textures[i] + " : register(t" + std::to_string(i) + ");");
    order.push_back("SamplerState ClampSampler : register(s0);");
    order.push_back("\n//@settings\n");
    order.push_back("static const float PI = 3.14159265;");
    const char* functions[] = {
        "VSMain", "rot", "hash", "noise", "fbm", "textureUV", "over", "paintWobble", "paintCoverage",
        "wornText", "stamp", "emblemTiles", "tileSize",
        "intro", "ease", "rotozoom", "glitchRandom", "verse", "verses", "roundedBottom", "crewMember", "crew",
        "q9ZoomView",
        "tunnelTexel", "tunnelCentre", "tunnelBend", "tunnel", "smallTunnel", "portals", "metaballs",
        "plasma", "scroller", "scrollWritten", "columnSize", "columnWritten", "columnScroller", "scrollers",
        "plasmaOutStart", "canStart", "canEnd", "velktStart", "velktOutStart", "pictureStart",
        "creditsOutStart", "finalFadeStart", "demoEnd", "EndTime",
        "canFinale", "credit", "picture", "velkt", "PSMain"};
    for (const char* f : functions) order.push_back(std::string(" ") + f + "(");

    size_t at = 0;
    for (const std::string& item : order) {
        // A function counts where it is defined: its name at the start of a line's
        // declaration, after the return type.
        size_t found = item.back() == '(' ? std::string::npos : source.find(item, at);
        if (item.back() == '(') {
            std::regex definition("\\n[A-Za-z0-9_]+" + std::regex_replace(item, std::regex("\\("), "\\("));
            std::smatch m;
            std::string rest = source.substr(at);
            if (std::regex_search(rest, m, definition)) found = at + m.position(0);
        }
        ASSERT_NE(found, std::string::npos) << "'" << item << "' missing or out of order";
        at = found + 1;
    }
    // PSMain is the last function.
    EXPECT_EQ(source.find("\n}\n", source.find("PSMain(")), source.size() - 3);
}

// The settings file's timings against the finale's stated length: the final fade
// starts 17.4 s and the demo ends 19.9 s after the plasma starts fading out.
TEST(DemoShaderTest, ShippedSettingsGiveTheFinaleItsLength) {
    velk::test::DemoTimeline timeline(ReadSource("Shaders/demo.hlsl.json"));

    // Sizes of a scroll line and its two columns, in texels.
    const double ws = 14000, hs = 170, hu = 5200, hd = 4800;
    velk::test::DemoEnd end = timeline.End(ws, hs, hu, hd);
    EXPECT_NEAR(end.PlasmaOutStart, 90.433 + (ws + hu + hd) / hs * 0.17 / 0.45 - 4.65 - 10 + 1 / 0.45, 1e-9);
    EXPECT_NEAR(end.FinalFadeStart - end.PlasmaOutStart, 17.4, 1e-9);
    EXPECT_NEAR(end.DemoEnd - end.PlasmaOutStart, 19.9, 1e-9);
}

}  // namespace
