// The specialiser of the OpenGL layer's pixel shaders on the demo shader: what it
// makes of it is pinned, so that a change of its code that changes the module it
// writes or the programs it asks for shows here. The figures follow the installed
// glslang and SPIRV-Cross: when they change, check the bit-identity tests
// (test_shader_variants_gl.cpp) and take the new figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "host/content.h"
#include "render/gpu.h"
#include "render/shader_settings.h"
#include "render/gl/shader_compiler_gl.h"
#include "render/gl/spirv_specialize_gl.h"
#include "render/gl/spirv_specialize_stages_gl.h"

using namespace velk;
using namespace velk::gpu::specialize;
using gpu::UniformCondition;
using gpu::VariantKey;

namespace {

// FNV-1a, 64 bits.
uint64_t Fnv(const void* data, size_t size) {
    uint64_t hash = 0xcbf29ce484222325u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3u;
    return hash;
}

std::string DemoShaderSource() {
    const char* root = std::getenv("VELK_SOURCE_DIR");
    Content::InitializeForTest(std::string(root ? root : VELK_SOURCE_DIR), EmbeddedStore());
    std::string source =
        ShaderSettings::Apply(Content::ReadText("Shaders/demo.hlsl"), Content::ReadText("Shaders/demo.hlsl.json"));
    Content::InitializeForTest(std::nullopt, EmbeddedStore());
    return source;
}

TEST(SpirvSpecializeGl, DemoShaderGivesThePinnedProgramsAndCode) {
    gpu::CompileResult result = gpu::Compile(DemoShaderSource(), "demo.hlsl", "PSMain", "ps_5_0");
    ASSERT_GE(result.Result, 0) << result.Errors.value_or("");
    const std::string code(result.Code.begin(), result.Code.end());
    // The header: conditions, computed conditions and the program list.
    const std::string header = code.substr(0, code.find("\n\n"));
    EXPECT_EQ(Fnv(header.data(), header.size()), 9144112337767777730u) << header;
    EXPECT_EQ(Fnv(code.data(), code.size()), 8712212689687533380u);
}

TEST(SpirvSpecializeGl, DemoShaderModuleIsRewrittenAsPinned) {
    std::string errors;
    std::optional<std::vector<uint32_t>> spirv =
        gpu::CompileHlslToSpirv(DemoShaderSource(), "demo.hlsl", "PSMain", "ps_5_0", errors);
    ASSERT_TRUE(spirv) << errors;
    EXPECT_EQ(Fnv(spirv->data(), 4 * spirv->size()), 14477236752602116975u);
    gpu::Specialization specialization = gpu::SpecializeUniformConditions(*spirv, 20);
    EXPECT_EQ(Fnv(spirv->data(), 4 * spirv->size()), 9289527013457955639u);
    EXPECT_EQ(specialization.Variants.size(), 20u);
}

constexpr uint32_t kLess = 184;  // OpFOrdLessThan

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }

std::vector<uint32_t> PixelShader(const std::string& body) {
    const std::string source =
        "cbuffer C : register(b0) { float t; int n; float2 size; };\n"
        "float4 PSMain(float4 pos : SV_Position) : SV_Target\n{\n    float a = 0;\n" +
        body + "    return float4(a, 0, 0, 1);\n}\n";
    std::string errors;
    std::optional<std::vector<uint32_t>> spirv = gpu::CompileHlslToSpirv(source, "test.hlsl", "PSMain", "ps_5_0", errors);
    EXPECT_TRUE(spirv) << errors;
    return spirv.value_or(std::vector<uint32_t>{});
}

// The module read and followed, as the specialisation does before choosing.
struct Stages {
    explicit Stages(const std::vector<uint32_t>& words)
        : spirv(words), module(*ReadModule(spirv)), functions(FollowBufferValues(module)),
          deciding(DecidingValues(module, functions)) {}
    std::vector<uint32_t> spirv;
    Module module;
    Functions functions;
    std::unordered_set<uint32_t> deciding;
};

// Only comparisons that decide a branch are chosen, a comparison written either way
// round is one condition, and a condition that would give more keys than allowed
// is left out while later ones still fit.
TEST(SpirvSpecializeGl, ChoosesDistinctDecidingConditionsWithinTheLimit) {
    Stages s(PixelShader("    if (t < 1.0) a = sin(pos.x);\n"
                         "    if (n > 2) a += cos(pos.y);\n"
                         "    if (1.0 > t) a *= tan(pos.x);\n"
                         "    a += t > 5.0 ? pos.x : pos.y;\n"));
    ScalarConditions all = ChooseScalarConditions(s.module, s.functions, s.deciding, 16);
    EXPECT_EQ(all.Conditions, (std::vector<UniformCondition>{{0, 0, kLess, Bits(1.0f)}, {0, 4, 173, 2u}}));
    ASSERT_EQ(all.Replaced.size(), 3u);
    EXPECT_EQ(all.Replaced[0].second, 0u);
    EXPECT_EQ(all.Replaced[1].second, 1u);
    EXPECT_EQ(all.Replaced[2].second, 0u) << "1 > t is t < 1";
    // Two keys from t, two from n: a limit of 3 keeps t's condition only.
    ScalarConditions few = ChooseScalarConditions(s.module, s.functions, s.deciding, 3);
    EXPECT_EQ(few.Conditions, (std::vector<UniformCondition>{{0, 0, kLess, Bits(1.0f)}}));
    EXPECT_EQ(few.Replaced.size(), 2u);
}

size_t Count(const std::vector<bool>& live) { return std::count(live.begin(), live.end(), true); }

// A known value takes the untaken side out, through a logical operator whose other
// operand is unknown only where the known one decides it.
TEST(SpirvSpecializeGl, ReachableBlocksFollowKnownConditions) {
    Stages s(PixelShader("    if (t < 1.0 || n > 2) a = sin(pos.x); else a = cos(pos.y);\n"));
    ScalarConditions chosen = ChooseScalarConditions(s.module, s.functions, s.deciding, 16);
    ASSERT_EQ(chosen.Conditions.size(), 2u);
    const size_t timeCompare = chosen.Replaced[0].first;
    const uint32_t timeValue = s.module.ResultOf(timeCompare);
    std::vector<bool> none = ReachableBlocks(s.module, s.functions, {});
    std::vector<bool> early = ReachableBlocks(s.module, s.functions, {{timeValue, true}});
    std::vector<bool> late = ReachableBlocks(s.module, s.functions, {{timeValue, false}});
    EXPECT_EQ(Count(none), s.functions.Cfg.size());
    EXPECT_LT(Count(early), Count(none)) << "t < 1 makes the condition true: the else side cannot run";
    EXPECT_EQ(late, none) << "t >= 1 leaves it to n";
    // Both known false: the then side is out.
    std::vector<bool> neither =
        ReachableBlocks(s.module, s.functions, ValuesUnderKey(s.module, chosen.Replaced, 0));
    EXPECT_LT(Count(neither), Count(none));
    EXPECT_NE(neither, early);
}

// A computed condition splits only the keys under which its comparison can run,
// and such a key keeps the fallback that computes it; the limit refuses a tree too
// large.
TEST(SpirvSpecializeGl, ProgramTreeSplitsOnlyWhereTheComputedConditionRuns) {
    Stages s(PixelShader("    if (t < 1.0) {\n"
                         "        if (t < size.x * 0.5) a = sin(pos.x); else a = cos(pos.y);\n"
                         "    }\n"));
    ScalarConditions scalars = ChooseScalarConditions(s.module, s.functions, s.deciding, 16);
    ASSERT_EQ(scalars.Conditions.size(), 1u);
    ProgramSpace space = MakeProgramSpace(s.module, s.functions, scalars.Conditions, scalars.Replaced, 16);
    std::vector<std::pair<size_t, gpu::ComputedCondition>> candidates =
        ComputedCandidates(s.module, s.functions, s.deciding, scalars.Replaced);
    ASSERT_EQ(candidates.size(), 1u);
    ComputedConditions computed = ChooseComputedConditions(space, candidates);
    ASSERT_EQ(computed.Conditions.size(), 1u);
    std::vector<const gpu::ComputedCondition*> conditions{&computed.Conditions[0]};
    // Keys as t grows: t < 1 (fallback, then the computed condition true and false),
    // then t >= 1, where it does not run.
    EXPECT_EQ(ProgramTree(space, computed.At, conditions),
              (std::vector<VariantKey>{{0b01, 0b01}, {0b11, 0b11}, {0b01, 0b11}, {0b00, 0b01}}));
    ProgramSpace small = MakeProgramSpace(s.module, s.functions, scalars.Conditions, scalars.Replaced, 3);
    EXPECT_FALSE(ProgramTree(small, computed.At, conditions));
}

}  // namespace
