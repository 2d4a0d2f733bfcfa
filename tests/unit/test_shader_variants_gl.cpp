// Pixel shaders specialised on their constant buffer (OpenGL layer): the
// conditions and their values, and, against the real GL device (X display), that a
// specialised shader draws exactly what the shader compiled as it is draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "gpu_test_rig.h"
#include "host/content.h"
#include "scene_frames.h"
#include "host/texture_table.h"
#include "render/gpu.h"
#include "render/renderer.h"
#include "render/shader_settings.h"
#include "render/gl/spirv_specialize_gl.h"

using namespace velk;
using gpu::UniformCondition;

namespace {

constexpr uint32_t kLess = 184;          // OpFOrdLessThan
constexpr uint32_t kUnordGreater = 187;  // OpFUnordGreaterThan
constexpr uint32_t kSignedGreater = 173; // OpSGreaterThan
constexpr uint32_t kUnsignedLess = 176;  // OpULessThan
constexpr uint32_t kEqual = 170;         // OpIEqual

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
uint32_t Bits(int32_t i) { return static_cast<uint32_t>(i); }

TEST(ShaderConditions, EvaluateLikeTheShader) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float subnormal = std::numeric_limits<float>::denorm_min();
    struct Case {
        UniformCondition condition;
        uint32_t value;
        std::optional<bool> expected;
    } cases[] = {
        {{0, 8, kLess, Bits(13.9f)}, Bits(13.9f), false},
        {{0, 8, kLess, Bits(13.9f)}, Bits(std::nextafter(13.9f, 0.0f)), true},
        {{0, 8, kLess, Bits(13.9f)}, Bits(nan), false},
        {{0, 8, kUnordGreater, Bits(1.0f)}, Bits(nan), true},
        {{0, 8, kUnordGreater, Bits(1.0f)}, Bits(1.0f), false},
        {{0, 8, kLess, Bits(0.0f)}, Bits(-0.0f), false},
        // A GPU may flush a subnormal to zero or not: no value.
        {{0, 8, kLess, Bits(0.0f)}, Bits(subnormal), std::nullopt},
        {{0, 8, kLess, Bits(subnormal)}, Bits(1.0f), std::nullopt},
        {{0, 4, kSignedGreater, Bits(int32_t{-1})}, Bits(int32_t{0}), true},
        {{0, 4, kUnsignedLess, 1u}, Bits(int32_t{-1}), false},
        {{0, 4, kEqual, 7u}, 7u, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gpu::EvaluateCondition(c.condition, c.value), c.expected)
            << c.condition.Op << " " << c.condition.Constant << " with " << c.value;
}

TEST(ShaderConditions, ReachableKeysFollowTheScalars) {
    // t < 1 and t > 3 on one scalar: three keys, met in this order as t grows
    // (NaN adds none: it makes both false, as 1 <= t <= 3 does).
    std::vector<UniformCondition> time = {{0, 8, kLess, Bits(1.0f)}, {0, 8, 186, Bits(3.0f)}};
    EXPECT_EQ(gpu::ReachableKeys(time, 16), (std::vector<uint64_t>{0b01, 0b00, 0b10}));
    // A condition on another scalar doubles them; the limit refuses more.
    time.push_back({0, 0, kLess, Bits(640.0f)});
    EXPECT_EQ(gpu::ReachableKeys(time, 16)->size(), 6u);
    EXPECT_FALSE(gpu::ReachableKeys(time, 5));
}

// What the GL compiler wrote into a shader's header: its conditions and programs.
gpu::Specialization HeaderOf(const std::vector<uint8_t>& code) {
    gpu::Specialization specialization;
    std::istringstream lines(std::string(code.begin(), code.end()));
    for (std::string line; std::getline(lines, line) && !line.empty();) specialization.ReadLine(line);
    return specialization;
}

// The shader compiled as it is: the compiler's switch for it.
std::vector<uint8_t> CompileUnspecialised(const std::string& source, const std::string& name) {
    setenv("VELK_GL_SPECIALIZE", "0", 1);
    gpu::CompileResult result = gpu::Compile(source, name, "PSMain", "ps_5_0");
    unsetenv("VELK_GL_SPECIALIZE");
    EXPECT_GE(result.Result, 0) << result.Errors.value_or("");
    return result.Code;
}

const char* kBranchy =
    "cbuffer C : register(b0) { float t; int n; float2 size; };\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float4 PSMain(float4 pos : SV_Position) : SV_Target\n"
    "{\n"
    "    float a = 0, b = 0;\n"
    "    if (t < 1.5) a = sin(t * 3.0) + pos.x;\n"
    "    else if (2.5 <= t) a = cos(t) * 7.0;\n"
    "    else a = sqrt(t);\n"
    "    if (n > 3 || size.x == 64.0) b = n * 0.25;\n"
    "    [loop] for (int i = 0; i < n; ++i) { if (t >= 1.5) b += 0.5; }\n"
    "    return float4(a, b, t < 1.5 ? 1 : 0, 1);\n"
    "}\n";

// A 4 x 1 draw with the 16 bytes of constants, read back as bits (NaN included).
std::vector<uint32_t> DrawBits(gpu_contract::Gpu& g, const std::shared_ptr<gpu::PixelShader>& shader,
                               const std::array<uint32_t, 4>& constants,
                               const std::vector<std::shared_ptr<gpu::ShaderResourceView>>& textures = {}) {
    std::vector<uint32_t> bits;
    for (float f : g.DrawWith(shader, 4, 1, textures, nullptr, constants)) bits.push_back(std::bit_cast<uint32_t>(f));
    return bits;
}

TEST(ShaderVariantsGl, DrawWhatTheUnspecialisedShaderDraws) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    gpu_contract::Gpu g;
    gpu::CompileResult ps = gpu::Compile(kBranchy, "branchy", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    // t < 1.5, 2.5 <= t (as t >= 2.5), n > 3, size.x == 64 and, inside the loop, t >= 1.5.
    EXPECT_EQ(HeaderOf(ps.Code).Conditions.size(), 5u);
    auto specialised = g.Device->CreatePixelShader(ps.Code);
    auto unspecialised = g.Device->CreatePixelShader(CompileUnspecialised(kBranchy, "branchy"));
    EXPECT_TRUE(HeaderOf(CompileUnspecialised(kBranchy, "branchy")).Empty());

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float times[] = {0.0f, std::nextafter(1.5f, 0.0f), 1.5f, 2.0f, std::nextafter(2.5f, 0.0f), 2.5f, 9.0f,
                           -1.0f, nan, std::numeric_limits<float>::denorm_min()};
    const int32_t counts[] = {0, 3, 4, 7};
    const float widths[] = {64.0f, std::nextafter(64.0f, 100.0f)};
    for (float t : times)
        for (int32_t n : counts)
            for (float w : widths) {
                const std::array<uint32_t, 4> values = {Bits(t), Bits(n), Bits(w), Bits(36.0f)};
                EXPECT_EQ(DrawBits(g, specialised, values), DrawBits(g, unspecialised, values))
                    << "t " << t << ", n " << n << ", width " << w;
            }
}

// A branch on a moment computed from a texture's size: the end of a fade that
// lasts while the text's width, at a height of 0.3, takes to cross at 1 per second.
const char* kSized =
    "cbuffer C : register(b0) { float t; };\n"
    "Texture2D Text : register(t0);\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float fadeEnd()\n"
    "{\n"
    "    float w, h;\n"
    "    Text.GetDimensions(w, h);\n"
    "    return 1.0 + w / h * 0.3;\n"
    "}\n"
    "float4 PSMain(float4 pos : SV_Position) : SV_Target\n"
    "{\n"
    "    float fade = smoothstep(fadeEnd() - 0.5, fadeEnd(), t);\n"
    "    float a;\n"
    "    if (fade < 1.0) a = sin(t * 3.0 + pos.x) * (1.0 - fade);\n"
    "    else a = cos(t * pos.x) + Text.Load(int3(0, 0, 0)).r;\n"
    "    return float4(a, fade, 0, 1);\n"
    "}\n";

TEST(ShaderVariantsGl, BranchOnATextureSizeFollowsTheBoundTexture) {
    gpu::CompileResult ps = gpu::Compile(kSized, "sized", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    gpu::Specialization header = HeaderOf(ps.Code);
    ASSERT_EQ(header.Computed.size(), 1u);
    EXPECT_TRUE(header.Conditions.empty());
    // The fallback that computes the condition, and one program for each value.
    EXPECT_EQ(header.Variants, (std::vector<gpu::VariantKey>{{0, 0}, {1, 1}, {0, 1}}));

    // Its value: sure away from the end of the fade, none where the GPU's rounding
    // could decide either way or nothing can be known.
    using Size = std::optional<std::pair<uint32_t, uint32_t>>;
    const Size wide = std::pair{64u, 16u};  // the fade ends at 1 + 4 * 0.3 = 2.2
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float t;
        Size size;
        std::optional<bool> expected;
    } cases[] = {
        {0.0f, wide, true},       {1.9f, wide, true},          {2.199f, wide, true},
        {2.2001f, wide, false},   {50.0f, wide, false},        {2.2f, wide, std::nullopt},
        {nan, wide, std::nullopt}, {2.0f, std::pair{32u, 32u}, false},  // ends at 1.3
        {1.0f, std::nullopt, std::nullopt},                               // no texture bound
    };
    for (const Case& c : cases) {
        auto read = [&](uint32_t binding, uint32_t offset) { return binding == 0 && offset == 0 ? Bits(c.t) : 0u; };
        auto size = [&](uint32_t unit, uint32_t level) { return unit == 0 && level == 0 ? c.size : Size{}; };
        EXPECT_EQ(gpu::EvaluateComputed(header.Computed[0], read, size), c.expected)
            << "t " << c.t << ", size " << (c.size ? c.size->first : 0);
    }

    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    gpu_contract::Gpu g;
    auto specialised = g.Device->CreatePixelShader(ps.Code);
    auto unspecialised = g.Device->CreatePixelShader(CompileUnspecialised(kSized, "sized"));
    std::vector<std::shared_ptr<gpu::ShaderResourceView>> textures;
    for (auto [w, h] : {std::pair{64u, 16u}, std::pair{32u, 32u}}) {
        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.BindFlags = gpu::BindShaderResource;
        textures.push_back(g.Device->CreateShaderResourceView(g.Device->CreateTexture2D(desc)));
    }
    const float ends[] = {2.2f, 1.3f};
    for (size_t i = 0; i < textures.size(); ++i) {
        const float end = ends[i];
        std::vector<float> times = {0.0f, end - 0.25f, end - 1e-3f, end + 1e-3f, end + 5.0f, nan};
        for (float t = std::nextafter(end, 0.0f), n = 0; n < 5; t = std::nextafter(t, 0.0f), ++n) times.push_back(t);
        for (float t = end, n = 0; n < 5; t = std::nextafter(t, 9.0f), ++n) times.push_back(t);
        for (float t : times) {
            const std::array<uint32_t, 4> values = {Bits(t), 0, 0, 0};
            EXPECT_EQ(DrawBits(g, specialised, values, {textures[i]}), DrawBits(g, unspecialised, values, {textures[i]}))
                << "t " << t << ", texture " << i;
        }
    }
}

// Nine scenes by time, each sampling a texture: more variants than worker threads.
const char* kScenes =
    "cbuffer C : register(b0) { float t; };\n"
    "Texture2D Text : register(t0);\n"
    "float4 VSMain(uint id : SV_VertexID) : SV_Position\n"
    "{\n"
    "    float2 uv = float2((id << 1) & 2, id & 2);\n"
    "    return float4(2 * uv.x - 1, 1 - 2 * uv.y, 0, 1);\n"
    "}\n"
    "float4 PSMain(float4 pos : SV_Position) : SV_Target\n"
    "{\n"
    "    float w, h;\n"
    "    Text.GetDimensions(w, h);\n"
    "    float a = Text.Load(int3(0, 0, 0)).r;\n"
    "    if (t < 1) a += sin(pos.x * w);\n"
    "    else if (t < 2) a += cos(pos.x + h);\n"
    "    else if (t < 3) a += sqrt(pos.x * h);\n"
    "    else if (t < 4) a += exp(-pos.x / w);\n"
    "    else if (t < 5) a += log(1 + pos.x * w);\n"
    "    else if (t < 6) a += tan(pos.x / h);\n"
    "    else if (t < 7) a += pow(pos.x, w / h);\n"
    "    else if (t < 8) a += frac(pos.x * 0.37 * h);\n"
    "    else a += atan2(pos.x, w);\n"
    "    return float4(a, t, 0, 1);\n"
    "}\n";

// A texture deleted while the warm-up draws that bind it wait for a worker (as at
// shutdown): the deletion drops them and waits only for the ones running, and the
// variants they would have compiled still draw exactly what the unspecialised
// shader draws, with another texture.
TEST(ShaderVariantsGl, DeletingABoundTextureDropsTheQueuedWarmUps) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    gpu_contract::Gpu g;
    gpu::CompileResult ps = gpu::Compile(kScenes, "scenes", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    EXPECT_EQ(HeaderOf(ps.Code).Variants.size(), 9u);
    auto specialised = g.Device->CreatePixelShader(ps.Code);
    auto unspecialised = g.Device->CreatePixelShader(CompileUnspecialised(kScenes, "scenes"));
    auto texture = [&](uint32_t w, uint32_t h) {
        gpu::Texture2DDesc desc;
        desc.Width = w;
        desc.Height = h;
        desc.BindFlags = gpu::BindShaderResource;
        return g.Device->CreateShaderResourceView(g.Device->CreateTexture2D(desc));
    };
    for (int round = 0; round < 2; ++round) {
        auto first = texture(64, 16);
        (void)DrawBits(g, specialised, {Bits(0.5f), 0, 0, 0}, {first});  // queues the other variants
        first.reset();
        auto second = texture(32, 8);
        for (float t : {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f, 8.5f}) {
            const std::array<uint32_t, 4> values = {Bits(t), 0, 0, 0};
            EXPECT_EQ(DrawBits(g, specialised, values, {second}), DrawBits(g, unspecialised, values, {second}))
                << "t " << t << ", round " << round;
        }
    }
}

// The demo at moments on both sides of every condition its shader is specialised
// on, with the real textures, small: the same bytes as the shader compiled as it is.
TEST(ShaderVariantsGl, DemoFramesMatchTheUnspecialisedShaderAtEveryBoundary) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    const char* root = std::getenv("VELK_SOURCE_DIR");
    Content::InitializeForTest(std::string(root ? root : VELK_SOURCE_DIR), EmbeddedStore());
    {
        Renderer r(0, 1, 1);
        std::string source =
            ShaderSettings::Apply(Content::ReadText("Shaders/demo.hlsl"), Content::ReadText("Shaders/demo.hlsl.json"));
        gpu::CompileResult specialised = gpu::Compile(source, "demo.hlsl", "PSMain", "ps_5_0");
        ASSERT_GE(specialised.Result, 0);
        auto plain = r.Device->CreatePixelShader(CompileUnspecialised(source, "demo.hlsl"));
        auto special = r.Device->CreatePixelShader(specialised.Code);
        TextureTable textures = TextureTable::Make(*r.Device, *r.Context,
                                                   Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf"));
        r.TextureViews = textures.SlotOrder();

        // The moments: each condition's constant on the time (offset 8) and its neighbours.
        std::vector<float> moments;
        gpu::Specialization header = HeaderOf(specialised.Code);
        for (const UniformCondition& condition : header.Conditions) {
            ASSERT_EQ(condition.Offset, 8u) << "the demo branches on the time only";
            float c = std::bit_cast<float>(condition.Constant);
            moments.insert(moments.end(), {std::nextafter(c, -1e9f), c, std::nextafter(c, 1e9f)});
        }
        // The scene choices and the verses' windows at least.
        EXPECT_GE(moments.size(), 3u * 4u);

        const uint32_t width = 64, height = 36;
        // The moments a computed condition changes at with these textures (the end
        // of the scrollers, from the texts' sizes): found by halving, on both sides
        // of the span where its value is not sure.
        EXPECT_GE(header.Computed.size(), 1u);
        for (const gpu::ComputedCondition& condition : header.Computed) {
            auto at = [&](float t) {
                auto read = [&](uint32_t binding, uint32_t offset) {
                    if (binding != 0) return 0u;
                    return offset == 0 ? Bits(float(width)) : offset == 4 ? Bits(float(height)) : offset == 8 ? Bits(t) : 0u;
                };
                auto size = [&](uint32_t unit, uint32_t level) -> std::optional<std::pair<uint32_t, uint32_t>> {
                    if (unit >= r.TextureViews.size() || !r.TextureViews[unit]) return std::nullopt;
                    gpu::Texture2DDesc desc = r.TextureViews[unit]->Resource()->GetDesc();
                    if (level >= desc.MipLevels) return std::nullopt;
                    return std::pair{std::max(1u, desc.Width >> level), std::max(1u, desc.Height >> level)};
                };
                return gpu::EvaluateComputed(condition, read, size);
            };
            float lo = 0.0f, hi = 200.0f;
            std::optional<bool> first = at(lo);
            ASSERT_TRUE(first && at(hi) && *at(hi) != *first) << "one change between 0 and 200 s";
            while (std::nextafter(lo, hi) < hi) {
                float mid = lo + (hi - lo) / 2;
                if (mid <= lo || mid >= hi) mid = std::nextafter(lo, hi);
                (at(mid) == first ? lo : hi) = mid;
            }
            // The last sure moment before, the first one after, and around them.
            float after = hi;
            while (at(after) != !*first && after < lo + 1.0f) after = std::nextafter(after, 1e9f);
            EXPECT_EQ(at(after), !*first) << "no sure value for less than a second";
            moments.insert(moments.end(), {lo - 1e-3f, lo, hi, lo + (after - lo) / 2, std::nextafter(after, 0.0f), after,
                                           after + 1e-3f});
        }
        test::SceneFrames frames(r, width, height);
        for (float t : moments) {
            std::vector<uint8_t> expected = frames.Draw(*plain, t), got = frames.Draw(*special, t);
            int worst = 0;
            for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(int(got[i]) - int(expected[i])));
            EXPECT_EQ(worst, 0) << "largest difference at t = " << t;
        }
        r.TextureViews.clear();
        textures.Release();
        r.Dispose();
    }
    Content::InitializeForTest(std::nullopt, EmbeddedStore());
}

// A hot reload from every kind of shader to every other (and to itself), in one
// renderer with the real textures: the shipped shader (S), one without an end time
// (N), one without an end time or any branch (P), branches on the time (T), a branch on the time
// against a texture's size (Z) and one that does not compile (F), in an order that
// takes every ordered pair once. After each save the renderer presents twice with a
// read-back between (the pattern a freed program or worker context shows in), and
// the picture, the end time and the output lines must be the new shader's (the old
// one's after F).
TEST(ShaderVariantsGl, HotReloadFromEveryKindOfShaderToEveryOther) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    namespace fs = std::filesystem;
    const fs::path source = std::getenv("VELK_SOURCE_DIR") ? std::getenv("VELK_SOURCE_DIR") : VELK_SOURCE_DIR;
    const fs::path root = fs::temp_directory_path() /
                          ("velk-reload-kinds-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(root);
    fs::create_directories(root / "Shaders");
    fs::create_directory_symlink(source / "Artifacts", root / "Artifacts");
    fs::copy_file(source / "Shaders" / "demo.hlsl.json", root / "Shaders" / "demo.hlsl.json");
    auto read = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    struct Kind {
        std::string Text;
        std::optional<std::array<uint8_t, 4>> Colour;  // B, G, R, A of every pixel; none: a picture
        float End;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const fs::path fixtures = source / "tests" / "fixtures" / "reload";
    std::map<char, Kind> kinds = {
        {'S', {read(source / "Shaders" / "demo.hlsl"), std::nullopt, 0}},
        {'N', {read(fixtures / "no_end_time.hlsl"), std::array<uint8_t, 4>{255, 0, 255, 255}, inf}},
        {'P', {read(fixtures / "plain.hlsl"), std::array<uint8_t, 4>{255, 255, 0, 255}, inf}},
        {'T', {read(fixtures / "time_branches.hlsl"), std::array<uint8_t, 4>{0, 255, 255, 255}, 9999}},
        {'Z', {read(fixtures / "size_branches.hlsl"), std::array<uint8_t, 4>{0, 255, 0, 255}, 9999}},
        {'F', {read(fixtures / "broken.hlsl"), std::nullopt, 0}},
    };
    Content::InitializeForTest(root.string(), EmbeddedStore());
    {
        // Each kind is what it stands for: the conditions the GL compiler found.
        std::string settings = Content::ReadText("Shaders/demo.hlsl.json");
        auto header = [&](char kind) {
            gpu::CompileResult ps = gpu::Compile(ShaderSettings::Apply(kinds[kind].Text, settings), "demo.hlsl",
                                                 "PSMain", "ps_5_0");
            EXPECT_GE(ps.Result, 0) << kind << ": " << ps.Errors.value_or("");
            return HeaderOf(ps.Code);
        };
        EXPECT_TRUE(header('P').Empty());
        EXPECT_TRUE(header('N').Computed.empty() && !header('N').Conditions.empty());
        EXPECT_TRUE(header('T').Computed.empty() && header('T').Conditions.size() >= 2);
        EXPECT_FALSE(header('Z').Computed.empty());
        EXPECT_FALSE(header('S').Computed.empty());
    }

    const std::string order = "SSNSPSTSZSFNNPNTNZNFPPTPZPFTTZTFZZFFS";
    const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    auto save = [&](char kind, int step) {
        const fs::path path = root / "Shaders" / "demo.hlsl";
        std::ofstream(path, std::ios::binary) << kinds[kind].Text;
        fs::last_write_time(path, base + std::chrono::seconds(step));
    };
    // The settings stay older than every save, so each save moves the stamp.
    fs::last_write_time(root / "Shaders" / "demo.hlsl.json", base);
    save(order[0], 1);
    {
        const uint32_t width = 48, height = 27;
        Renderer r(0, int32_t(width), int32_t(height));
        TextureTable textures =
            TextureTable::Make(*r.Device, *r.Context, Content::Read("Artifacts/Fonts/velk_stencil/VelkStencil.ttf"));
        r.TextureViews = textures.SlotOrder();
        kinds['S'].End = r.DemoEnd();
        EXPECT_GT(kinds['S'].End, 100.0f);
        EXPECT_LT(kinds['S'].End, inf);
        test::SceneFrames frames(r, width, height);
        char drawn = order[0];
        for (size_t step = 1; step < order.size(); ++step) {
            const char kind = order[step];
            const std::string transition = std::string(1, order[step - 1]) + " to " + kind;
            save(kind, int(step) + 1);
            const float t = 3.5f + float(step);
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            r.Render(int32_t(width), int32_t(height), t);
            std::vector<uint8_t> picture = frames.Draw(*r.PixelShader, t);
            r.Render(int32_t(width), int32_t(height), t);
            r.Render(int32_t(width), int32_t(height), t + 0.5f);
            const float end = r.DemoEnd();
            const std::string out = ::testing::internal::GetCapturedStdout();
            const std::string err = ::testing::internal::GetCapturedStderr();
            if (kind != 'F') drawn = kind;
            EXPECT_EQ(out.find("] Loaded demo.hlsl\n") != std::string::npos, kind != 'F') << transition << ": " << out;
            EXPECT_EQ(err.find("error") != std::string::npos, kind == 'F' || kind == 'N' || kind == 'P') << transition << ": " << err;
            EXPECT_EQ(end, kinds[drawn].End) << transition;
            if (const auto& colour = kinds[drawn].Colour) {
                size_t other = 0;
                for (size_t i = 0; i < picture.size(); i += 4)
                    other += !std::equal(colour->begin(), colour->end(), picture.begin() + i);
                EXPECT_EQ(other, 0u) << transition << ": pixels not of " << drawn << "'s colour";
            } else {
                // The shipped shader's picture: no solid colour.
                EXPECT_NE(std::count(picture.begin(), picture.end(), picture[0]), std::ptrdiff_t(picture.size()))
                    << transition;
                std::set<std::array<uint8_t, 4>> colours;
                for (size_t i = 0; i < picture.size(); i += 4)
                    colours.insert({picture[i], picture[i + 1], picture[i + 2], picture[i + 3]});
                EXPECT_GT(colours.size(), 4u) << transition;
            }
        }
        r.TextureViews.clear();
        textures.Release();
        r.Dispose();
    }
    Content::InitializeForTest(std::nullopt, EmbeddedStore());
    fs::remove_all(root);
}

}  // namespace
