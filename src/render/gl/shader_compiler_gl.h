// The first stage of the OpenGL layer's HLSL compiler (shader_compiler_gl.cpp), on
// its own for tests of the pixel-shader specialisation, which works on its result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velk::gpu {

// HLSL to SPIR-V as Compile makes it before the specialisation (glslang with the
// HLSL legalisation; % and fmod keep the sign of the dividend). None on failure,
// with Compile's messages in errors.
std::optional<std::vector<uint32_t>> CompileHlslToSpirv(const std::string& source, const std::string& sourceName,
                                                        const std::string& entryPoint, const std::string& profile,
                                                        std::string& errors);

}  // namespace velk::gpu
