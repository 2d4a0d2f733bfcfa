// Specialisation of pixel shaders on their constant buffer (OpenGL layer).
//
// A software rasterizer such as llvmpipe runs both sides of every `if` under an
// execution mask, so a shader that chooses what to draw by a constant-buffer value
// (a demo choosing its scene by the time) pays for every choice on every pixel.
// Drivers for such hardware inline uniform values instead; this does the same at
// the level of SPIR-V: each comparison of a constant-buffer scalar with a constant
// that decides a branch becomes a boolean specialisation constant, which
// SPIRV-Cross writes as a macro (SPIRV_CROSS_CONSTANT_ID_<n>) that the GL compiler
// folds, removing the untaken side. The GPU layer compiles one program per
// reachable combination of the conditions and picks, at each draw, the one that
// matches the bound constant buffer; the picture is that of the unspecialised
// shader, since the taken side is the same code.
//
// A branch may also depend on a value computed from constant-buffer values and
// texture sizes (a moment derived from a text's width): such a condition is
// specialised too, and evaluated on the CPU at each draw, with bounds wide enough
// for any rounding the GPU may do; where the bounds leave it open, the draw takes a
// program that computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <optional>
#include <span>
#include <vector>

namespace velk::gpu {

// One comparison of a 32-bit constant-buffer scalar with a constant.
struct UniformCondition {
    uint32_t Binding = 0;   // uniform buffer binding (the b register)
    uint32_t Offset = 0;    // byte offset of the scalar in the buffer
    uint32_t Op = 0;        // SPIR-V comparison opcode, the buffer's value on the left
    uint32_t Constant = 0;  // the constant's bits

    bool operator==(const UniformCondition&) const = default;
};

// The condition's value for the buffer value's bits. None where a GPU may decide
// otherwise: a float comparison with a subnormal operand (flushed to zero or not).
std::optional<bool> EvaluateCondition(const UniformCondition& condition, uint32_t value);

// The keys (bit i = value of condition i) that some buffer contents give, in the
// order in which they are first met as the scalars grow (the first one slowest);
// none when there are more than `limit` of them.
std::optional<std::vector<uint64_t>> ReachableKeys(std::span<const UniformCondition> conditions, size_t limit);

// A branch condition computed from constant-buffer values, texture sizes and
// constants only (the same for every pixel of a draw), for example a time compared
// with a moment derived from a text's size. Its steps are the SPIR-V instructions
// of its computation, renumbered: step i's operands are earlier steps; the last
// step is the condition.
struct ExpressionStep {
    // A SPIR-V opcode. Leaves: OpConstant (Literals = each component's bits),
    // OpUndef, OpLoad (Literals = binding, byte offset: a constant-buffer value,
    // components 4 bytes apart), OpImageQuerySizeLod (Literals = texture unit,
    // Args = the level) and OpImageQuerySize (Literals = texture unit).
    uint32_t Op = 0;
    uint32_t Extended = 0;    // the GLSL.std.450 instruction of an OpExtInst
    uint32_t Kind = 0;        // of the result's components: 0 float, 1 signed, 2 unsigned, 3 bool
    uint32_t Components = 1;  // 1 to 4
    std::vector<uint32_t> Args;      // earlier steps
    std::vector<uint32_t> Literals;  // literal operands (component indices, leaf data)

    bool operator==(const ExpressionStep&) const = default;
};

struct ComputedCondition {
    std::vector<ExpressionStep> Steps;

    bool operator==(const ComputedCondition&) const = default;
};

// The condition's value for the buffer values (read(binding, offset) = the 32 bits
// there) and the bound textures' sizes (size(unit, level) = width and height, none
// when no texture is bound there or it has no such level). None where a GPU may
// decide otherwise: the value is computed with bounds that hold whatever rounding,
// contraction or reassociation of float operations the GPU's compiler applies, and
// it is none when the bounds straddle the comparison.
using ReadScalar = std::function<uint32_t(uint32_t binding, uint32_t offset)>;
using ReadTextureSize = std::function<std::optional<std::pair<uint32_t, uint32_t>>(uint32_t unit, uint32_t level)>;
std::optional<bool> EvaluateComputed(const ComputedCondition& condition, const ReadScalar& read,
                                     const ReadTextureSize& size);

// A program of a specialised shader: the value of each condition it is made for
// (bit i = condition i) and which of them it fixes (the others keep their
// comparison: the fallback of a draw whose computed condition has no sure value).
struct VariantKey {
    uint64_t Bits = 0;
    uint64_t Mask = 0;

    bool operator==(const VariantKey&) const = default;
};

// What a pixel shader is specialised on. SpecIds: 0 .. n-1 the conditions on
// constant-buffer scalars, n .. n+m-1 the computed conditions; n+m turns the
// conditions on scalars back into their comparisons, n+m+1+j computed condition j
// (the general program sets them all).
struct Specialization {
    std::vector<UniformCondition> Conditions;
    std::vector<ComputedCondition> Computed;
    std::vector<VariantKey> Variants;  // in order of first use as the scalars grow

    bool Empty() const { return Conditions.empty() && Computed.empty(); }
    size_t Count() const { return Conditions.size() + Computed.size(); }

    // Header lines ("condition", "computed", "variant"), and back: ReadLine takes
    // one line and returns false, changing nothing, for a line that is not one of
    // them or is malformed.
    std::string Write() const;
    bool ReadLine(const std::string& line);
};

// Turns the comparisons that decide a branch (directly or through logical
// operators) into selections between the comparison and a boolean specialisation
// constant: first those of a constant-buffer scalar with a constant, in order of
// first appearance while the reachable keys stay within maxVariants, then those
// computed from constant-buffer values and texture sizes, the one that takes the
// most code out of the programs first, while the programs stay within maxVariants.
// A computed condition splits only the keys under which its comparison can run and
// have a sure value; such a key also keeps a fallback program that computes it. All
// constants default to false. The module is unchanged when the result is empty.
Specialization SpecializeUniformConditions(std::vector<uint32_t>& spirv, size_t maxVariants);

}  // namespace velk::gpu
