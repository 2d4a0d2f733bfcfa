// The programs of a pixel shader specialised on its constant buffer (OpenGL layer).
//
// The compiler turns a pixel shader's branches on constant-buffer values into
// specialisation constants (spirv_specialize_gl.h). This holds one linked program
// per combination of those conditions that some buffer contents reach, and picks
// the one that matches the bound buffer at each draw. A software driver compiles a
// program into machine code on its first draw in a context, which for a large
// shader takes long enough to show as a hitch; so on the first draw with a given
// set of bindings the other variants that draws are expected to take are drawn
// once, one pixel, on worker threads with GL contexts of their own (each linking
// its own copy of the program from the same GLSL, so that no program object is
// ever drawn on two contexts), and a draw
// that needs a variant still being compiled there waits for it instead of
// compiling it a second time (or, for a variant that fixes computed conditions,
// takes the ready fallback that computes them). Which variants are expected: with
// computed conditions, those met as each compared scalar (the time) runs over its
// range with the textures now bound, in that order; otherwise all. The machine
// code reaches the main context through the driver's shader cache (Mesa's, on by
// default); without it the main context compiles each variant on its first use.
//
// GL names cross this header as plain integers; only gpu_gl.cpp uses it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "render/gl/spirv_specialize_gl.h"

namespace velk::gpu {

class WorkerContexts;

// A separable program of one stage (a GL shader-type value) from GLSL; raises
// ComException with the driver's log when it does not link.
uint32_t LinkSeparableProgram(uint32_t stage, const std::string& glsl, const char* what);

// What a draw binds besides the pixel program: a draw on another context with the
// same makes the driver compile the same machine code.
struct DrawBindings {
    std::string VertexGlsl;  // the vertex stage, linked anew on the worker
    std::vector<std::pair<uint32_t, uint32_t>> UniformBuffers;           // binding, buffer
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> TextureUnits;  // unit, texture, sampler

    bool operator==(const DrawBindings&) const = default;
};

// Before a texture, buffer or sampler of the main context is deleted:
// drops the warm-up draws queued on worker contexts that would bind it (their
// variants are compiled on first use instead) and waits for the running ones that
// have it bound, so that the object is freed on the main context and not by a
// worker's unbinding. An object that no warm-up draw binds is not waited for.
enum class BoundObject { Texture, Buffer, Sampler };
void AwaitWarmUpDraws(BoundObject kind, uint32_t name);

class ShaderVariants {
public:
    // Links the program of every reachable combination; raises like the shader's
    // creation (`what`) when one does not link.
    ShaderVariants(std::string glsl, Specialization specialization, const char* what);
    ~ShaderVariants();
    ShaderVariants(const ShaderVariants&) = delete;
    ShaderVariants& operator=(const ShaderVariants&) = delete;

    // The program for a draw whose constant buffers hold these values
    // (read(binding, offset) gives the 32 bits there) and whose textures have these
    // sizes, on the main context, with these bindings: the one that fixes the most
    // conditions to the values they surely have. The first draw with new bindings
    // starts compiling the other variants on worker contexts.
    uint32_t Select(const ReadScalar& read, const ReadTextureSize& size, const DrawBindings& bindings);

private:
    struct Variant;
    std::string Source(const VariantKey* key) const;
    uint32_t Link(const VariantKey* key) const;
    struct Match {
        bool Decided = false;  // false: a condition on a scalar has no sure value
        uint64_t Key = 0;      // the values of the conditions on scalars
        std::shared_ptr<Variant> Best;
    };
    Match Find(const ReadScalar& read, const ReadTextureSize& size) const;
    std::shared_ptr<Variant> FallbackOf(const Variant& variant) const;
    std::vector<std::shared_ptr<Variant>> Expected(const Variant& current, const ReadScalar& read,
                                                   const ReadTextureSize& size) const;
    void Prepare(const Variant& current, const DrawBindings& bindings, const ReadScalar& read,
                 const ReadTextureSize& size);

    std::string glsl_;
    Specialization specialization_;
    const char* what_;
    std::vector<std::shared_ptr<Variant>> variants_;  // in order of first use as the scalars grow
    std::shared_ptr<Variant> general_;
    std::shared_ptr<WorkerContexts> workers_;
    DrawBindings prepared_;
    bool preparedOnce_ = false;
};

}  // namespace velk::gpu
