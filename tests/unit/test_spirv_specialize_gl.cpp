// The specialiser of the OpenGL layer's pixel shaders on the demo shader: what it
// makes of it is pinned, so that a change of its code that changes the module it
// writes or the programs it asks for shows here. The figures follow the installed
// glslang and SPIRV-Cross: when they change, check the bit-identity tests
// (test_shader_variants_gl.cpp) and take the new figures.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/content.h"
#include "render/gpu.h"
#include "render/shader_settings.h"
#include "render/gl/spirv_specialize_gl.h"

using namespace velk;

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
    EXPECT_EQ(Fnv(code.data(), code.size()), 16332817250836655504u);
}

}  // namespace
