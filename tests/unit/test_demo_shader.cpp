// The shipped demo shader and its settings file: layout of the source, the
// timeline the settings give the finale, and (against the real GL device, so with
// an X display) what the renderer compiles and draws from them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "demo_timeline.h"
#include "scene_frames.h"
#include "host/content.h"
#include "render/renderer.h"
#include "render/shader_settings.h"

using namespace velk;
namespace fs = std::filesystem;

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

// A temporary source tree holding the shipped shader and a settings text, and a
// windowless renderer on it with twenty blank textures whose sizes the test picks.
class DemoShaderRender : public ::testing::Test {
protected:
    // Texel sizes of the three scroll texts (t8, t9, t10); the others are 64 x 32.
    struct ScrollSizes {
        uint32_t LineWidth, LineHeight, UpWidth, UpHeight, DownWidth, DownHeight;
    };
    static constexpr ScrollSizes kSizes = {8190, 170, 150, 8200, 150, 7600};

    fs::path Root;

    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
        Root = fs::temp_directory_path() /
               ("velk-demo-shader-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        fs::create_directories(Root / "Shaders");
        std::ofstream(Root / "Shaders" / "demo.hlsl", std::ios::binary) << ReadSource("Shaders/demo.hlsl");
        Content::InitializeForTest(Root.string(), EmbeddedStore());
    }
    void TearDown() override {
        Content::InitializeForTest(std::nullopt, EmbeddedStore());
        if (!Root.empty()) fs::remove_all(Root);
    }

    // A renderer on the settings text, its textures bound; no errors on the way.
    std::unique_ptr<Renderer> Load(const std::string& settings, const ScrollSizes& sizes = kSizes) {
        std::ofstream(Root / "Shaders" / "demo.hlsl.json", std::ios::binary) << settings;
        ::testing::internal::CaptureStderr();
        auto r = std::make_unique<Renderer>(0, 1, 1);
        std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(errors, "");
        for (uint32_t slot = 0; slot < 20; ++slot) {
            uint32_t w = 64, h = 32;
            if (slot == 8) w = sizes.LineWidth, h = sizes.LineHeight;
            if (slot == 9) w = sizes.UpWidth, h = sizes.UpHeight;
            if (slot == 10) w = sizes.DownWidth, h = sizes.DownHeight;
            gpu::Texture2DDesc desc;
            desc.Width = w;
            desc.Height = h;
            desc.BindFlags = gpu::BindShaderResource;
            auto texture = r->Device->CreateTexture2D(desc);
            std::vector<uint8_t> clear(size_t(w) * h * 4, 0);
            r->Context->UpdateSubresource(*texture, 0, clear.data(), w * 4);
            r->TextureViews.push_back(r->Device->CreateShaderResourceView(texture));
        }
        return r;
    }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST_F(DemoShaderRender, CompilesEveryEntryPoint) {
    auto r = Load(ReadSource("Shaders/demo.hlsl.json"));
    EXPECT_TRUE(r->VertexShader);
    EXPECT_TRUE(r->PixelShader);
    EXPECT_TRUE(r->EndTimeShader);
    r->Dispose();
}

// The spliced source fails to compile when the settings leave out a constant the
// shader uses, or name one in an expression before its own entry.
TEST(DemoShaderCompile, SettingsTheShaderNeedsMustComeFirst) {
    std::string shader = ReadSource("Shaders/demo.hlsl");
    std::string settings = ReadSource("Shaders/demo.hlsl.json");
    std::string cream = "\"float3 CREAM\": \"lerp(VELK, 1, 0.85)\",";
    struct Case {
        const char* what;
        std::string settings;
    } cases[] = {
        {"TILE_CROP left out", Replace(settings, "\"TILE_CROP\": 0.56,", "")},
        {"CREAM before VELK",
         Replace(Replace(settings, cream, ""), "\"VELK\": \"#754c29\",", cream + " \"VELK\": \"#754c29\",")},
    };
    for (const Case& c : cases) {
        std::string source = ShaderSettings::Apply(shader, c.settings);
        ::testing::internal::CaptureStderr();
        auto code = Renderer::Compile(source, "PSMain", "ps_5_0", std::nullopt);
        std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(code.has_value()) << c.what;
        EXPECT_NE(errors.find("demo.hlsl"), std::string::npos) << c.what << ": " << errors;
    }
}

// Before the logo fades in the screen is the plain key colour #754c29.
TEST_F(DemoShaderRender, OpensOnThePlainKeyColour) {
    auto r = Load(ReadSource("Shaders/demo.hlsl.json"));
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{64, 36}, {37, 23}}) {
        std::vector<uint8_t> frame = test::SceneFrames(*r, w, h).Draw(*r->PixelShader, 0.5f);
        int worst = 0;
        for (size_t i = 0; i < frame.size(); i += 4) {
            worst = std::max({worst, std::abs(frame[i] - 0x29), std::abs(frame[i + 1] - 0x4c),
                              std::abs(frame[i + 2] - 0x75)});
            ASSERT_EQ(frame[i + 3], 255) << "pixel " << i / 4;
        }
        EXPECT_LE(worst, 1) << w << " x " << h;
    }
    r->Dispose();
}

// Every scene writes opaque pixels: times inside each window and at its boundaries.
TEST_F(DemoShaderRender, EveryPixelIsOpaqueInEveryScene) {
    std::string settings = ReadSource("Shaders/demo.hlsl.json");
    test::DemoTimeline timeline(settings);
    test::DemoEnd end = timeline.End(kSizes.LineWidth, kSizes.LineHeight, kSizes.UpHeight, kSizes.DownHeight);
    auto r = Load(settings);
    const float plasmaOut = float(end.PlasmaOutStart + timeline.Value("PLASMA_OUT"));
    const float times[] = {0,     0.5f,  6.6f,  13.9f, 25,         41.233f,        50,       62.6f,
                           75,    82.1f, 95,    plasmaOut - 1, plasmaOut, plasmaOut + 3, float(end.DemoEnd),
                           float(end.DemoEnd) + 10};
    for (float t : times) {
        std::vector<uint8_t> frame = test::SceneFrames(*r, 32, 18).Draw(*r->PixelShader, t);
        for (size_t i = 3; i < frame.size(); i += 4) ASSERT_EQ(frame[i], 255) << "t = " << t << ", pixel " << i / 4;
    }
    r->Dispose();
}

// EndTime, read back by the renderer, equals the chain computed here from the
// settings and the scroll texts' sizes, and follows every change of either.
TEST_F(DemoShaderRender, EndTimeFollowsTheSettingsAndTheScrollTexts) {
    const std::string shipped = ReadSource("Shaders/demo.hlsl.json");
    struct Case {
        const char* what;
        std::string settings;
        ScrollSizes sizes;
    } cases[] = {
        {"shipped", shipped, kSizes},
        {"longer scroll line", shipped, {9000, 170, 150, 8200, 150, 7600}},
        {"taller line letters", shipped, {8190, 200, 150, 8200, 150, 7600}},
        {"longer down column", shipped, {8190, 170, 150, 8200, 150, 9000}},
        {"later scroll cue", Replace(shipped, "\"SCROLL_START\": \"90:433\"", "\"SCROLL_START\": \"95:000\""),
         kSizes},
        {"slower scrollers", Replace(shipped, "\"SCROLL_SPEED\": 0.45", "\"SCROLL_SPEED\": 0.4"), kSizes},
        {"longer last hop", Replace(shipped, "[-0.05, -1.30, 0.50, 1.2]", "[-0.05, -1.30, 0.50, 2.2]"), kSizes},
        {"longer final fade", Replace(shipped, "\"FINAL_FADE\": 2.5", "\"FINAL_FADE\": 4.0"), kSizes},
    };
    std::vector<std::pair<float, float>> seen;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::DemoEnd expected = test::DemoTimeline(c.settings)
                                     .End(c.sizes.LineWidth, c.sizes.LineHeight, c.sizes.UpHeight, c.sizes.DownHeight);
        auto r = Load(c.settings, c.sizes);
        float demoEnd = r->DemoEnd(), finalFade = r->FinalFadeStart();
        EXPECT_NEAR(demoEnd, expected.DemoEnd, 1e-3);
        EXPECT_NEAR(finalFade, expected.FinalFadeStart, 1e-3);
        for (auto [otherEnd, otherFade] : seen) EXPECT_GT(std::abs(demoEnd - otherEnd), 0.1f);
        seen.emplace_back(demoEnd, finalFade);
        r->Dispose();
    }
    // Only the fade's own length separates the last case from the first.
    EXPECT_NEAR(seen.back().first - seen.front().first, 1.5, 1e-3);
    EXPECT_NEAR(seen.back().second, seen.front().second, 1e-3);
}

}  // namespace
