// Pixel shaders specialised on their constant buffer (OpenGL layer): the
// conditions and their values, and, against the real GL device (X display), that a
// specialised shader draws exactly what the shader compiled as it is draws.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

#include "host/content.h"
#include "host/texture_table.h"
#include "render/gpu.h"
#include "render/renderer.h"
#include "render/shader_settings.h"
#include "render/spirv_specialize_gl.h"

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

// What the GL compiler wrote into a shader's header about its conditions.
std::vector<std::string> ConditionLines(const std::vector<uint8_t>& code) {
    std::istringstream lines(std::string(code.begin(), code.end()));
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line) && !line.empty();)
        if (line.rfind("condition ", 0) == 0) found.push_back(line);
    return found;
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

TEST(ShaderVariantsGl, DrawWhatTheUnspecialisedShaderDraws) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    auto device = gpu::CreateDevice();
    auto context = device->ImmediateContext();
    gpu::CompileResult vs = gpu::Compile(kBranchy, "branchy", "VSMain", "vs_5_0");
    gpu::CompileResult ps = gpu::Compile(kBranchy, "branchy", "PSMain", "ps_5_0");
    ASSERT_GE(ps.Result, 0) << ps.Errors.value_or("");
    // t < 1.5, 2.5 <= t (as t >= 2.5), n > 3, size.x == 64 and, inside the loop, t >= 1.5.
    EXPECT_EQ(ConditionLines(ps.Code).size(), 5u);
    auto vertex = device->CreateVertexShader(vs.Code);
    auto specialised = device->CreatePixelShader(ps.Code);
    auto unspecialised = device->CreatePixelShader(CompileUnspecialised(kBranchy, "branchy"));
    EXPECT_TRUE(ConditionLines(CompileUnspecialised(kBranchy, "branchy")).empty());

    gpu::Texture2DDesc desc;
    desc.Width = 4;
    desc.Height = 1;
    desc.Format = gpu::PixelFormat::R32G32_FLOAT;
    desc.BindFlags = gpu::BindRenderTarget;
    auto target = device->CreateTexture2D(desc);
    auto view = device->CreateRenderTargetView(target);
    desc.Usage = gpu::ResourceUsage::Staging;
    desc.BindFlags = gpu::BindNone;
    desc.CpuAccessFlags = gpu::CpuAccessRead;
    auto staging = device->CreateTexture2D(desc);
    auto constants = device->CreateConstantBuffer(16);
    auto draw = [&](gpu::PixelShader& shader, const uint32_t (&values)[4]) {
        auto mapped = context->Map(*constants, gpu::MapType::WriteDiscard);
        std::memcpy(mapped.Data, values, sizeof values);
        context->Unmap(*constants);
        context->OMSetRenderTargets(view.get());
        context->RSSetViewport(0, 0, 4, 1);
        context->VSSetShader(vertex.get());
        context->PSSetShader(&shader);
        context->PSSetConstantBuffer(0, constants.get());
        context->Draw(3, 0);
        context->CopyResource(*staging, *target);
        auto read = context->Map(*staging, 0, gpu::MapType::Read);
        std::vector<uint8_t> bytes(static_cast<uint8_t*>(read.Data), static_cast<uint8_t*>(read.Data) + 32);
        context->Unmap(*staging, 0);
        return bytes;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float times[] = {0.0f, std::nextafter(1.5f, 0.0f), 1.5f, 2.0f, std::nextafter(2.5f, 0.0f), 2.5f, 9.0f,
                           -1.0f, nan, std::numeric_limits<float>::denorm_min()};
    const int32_t counts[] = {0, 3, 4, 7};
    const float widths[] = {64.0f, std::nextafter(64.0f, 100.0f)};
    for (float t : times)
        for (int32_t n : counts)
            for (float w : widths) {
                const uint32_t values[4] = {Bits(t), Bits(n), Bits(w), Bits(36.0f)};
                EXPECT_EQ(draw(*specialised, values), draw(*unspecialised, values))
                    << "t " << t << ", n " << n << ", width " << w;
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
        for (const std::string& line : ConditionLines(specialised.Code)) {
            std::istringstream fields(line.substr(10));
            uint32_t binding = 0, offset = 0, op = 0, constant = 0;
            fields >> binding >> offset >> op >> constant;
            ASSERT_EQ(offset, 8u) << "the demo branches on the time only: " << line;
            float c = std::bit_cast<float>(constant);
            moments.insert(moments.end(), {std::nextafter(c, -1e9f), c, std::nextafter(c, 1e9f)});
        }
        // The scene choices and the verses' windows at least.
        EXPECT_GE(moments.size(), 3u * 4u);

        const uint32_t width = 64, height = 36;
        gpu::Texture2DDesc desc;
        desc.Width = width;
        desc.Height = height;
        desc.BindFlags = gpu::BindRenderTarget;
        auto target = r.Device->CreateTexture2D(desc);
        auto view = r.Device->CreateRenderTargetView(target);
        desc.Usage = gpu::ResourceUsage::Staging;
        desc.BindFlags = gpu::BindNone;
        desc.CpuAccessFlags = gpu::CpuAccessRead;
        auto staging = r.Device->CreateTexture2D(desc);
        auto frame = [&](gpu::PixelShader& shader, float time) {
            r.DrawScene(&shader, view.get(), width, height, time);
            r.Context->CopyResource(*staging, *target);
            auto mapped = r.Context->Map(*staging, 0, gpu::MapType::Read);
            std::vector<uint8_t> bytes(static_cast<uint8_t*>(mapped.Data),
                                       static_cast<uint8_t*>(mapped.Data) + size_t(width) * height * 4);
            r.Context->Unmap(*staging, 0);
            return bytes;
        };
        for (float t : moments) {
            std::vector<uint8_t> expected = frame(*plain, t), got = frame(*special, t);
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

}  // namespace
