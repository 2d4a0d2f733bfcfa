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
#pragma once

#include <cstddef>
#include <cstdint>
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

// Turns the comparisons of constant-buffer scalars with constants that decide a
// branch (directly or through logical operators) into selections between the
// comparison and a boolean specialisation constant: SpecId i (i = 0, 1, ...) holds
// distinct condition i, taken in order of first appearance while the reachable
// keys stay within maxVariants; SpecId n (n = the count) chooses the comparison
// itself, for a general program. All default to false. Returns the conditions by
// SpecId; the module is unchanged when it returns none.
std::vector<UniformCondition> SpecializeUniformConditions(std::vector<uint32_t>& spirv, size_t maxVariants);

}  // namespace velk::gpu
