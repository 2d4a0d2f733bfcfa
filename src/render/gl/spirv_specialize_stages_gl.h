// The stages of the pixel-shader specialisation (spirv_specialize_gl.h), for its
// own code and its tests: reading the module, following the constant buffer's
// values through the functions, choosing the conditions, reachability of blocks
// under known condition values, and the tree of programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "render/gl/spirv_specialize_gl.h"

namespace velk::gpu::specialize {

struct Instruction {
    size_t At;       // word index of the opcode word
    uint32_t Count;  // words
    uint32_t Op;
};

// A constant-buffer location: a uniform block binding, a byte offset, a type.
struct Location {
    uint32_t Binding;
    uint32_t Offset;
    uint32_t Type;
};

// What the specialisation reads of a module before its functions: the
// instructions, types, constants, decorations, and the variables that are uniform
// blocks or images.
struct Module {
    std::span<const uint32_t> Words;
    std::vector<Instruction> Instructions;
    // Types.
    std::unordered_set<uint32_t> BoolTypes, ImageTypes;
    std::unordered_map<uint32_t, uint32_t> ScalarWidth;                   // int or float type -> bits
    std::unordered_map<uint32_t, uint32_t> ScalarKind;                    // int or float type -> component kind
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> Vectors;  // type -> (component, count)
    std::unordered_map<uint32_t, std::vector<uint32_t>> Structs;          // type -> member types
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> Pointers;  // type -> (storage class, pointee)
    // Constants.
    std::unordered_map<uint32_t, uint32_t> Constants;   // 32-bit scalar constant -> bits
    std::unordered_map<uint32_t, size_t> GlobalValues;  // constant or undefined value -> instruction
    // Decorations.
    std::unordered_set<uint32_t> Blocks;
    std::unordered_map<uint32_t, uint32_t> Bindings;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> MemberOffsets;
    // Variables.
    std::unordered_map<uint32_t, Location> BlockVariables;  // uniform block variable -> its location
    std::unordered_map<uint32_t, uint32_t> ImageVariables;  // image variable -> texture unit
    uint32_t GlslStd450 = 0;  // the extended instruction set's id
    size_t FirstFunction = 0;      // instruction
    size_t AfterAnnotations = 0;   // instruction where decorations may be added

    uint32_t Word(const Instruction& in, size_t i) const { return Words[in.At + i]; }
    uint32_t ResultOf(size_t instruction) const { return Word(Instructions[instruction], 2); }
    // The kind and component count of a 32-bit scalar or vector type.
    std::optional<std::pair<uint32_t, uint32_t>> Shape(uint32_t type) const;
    // Steps one index into a location's type: a struct member or a vector component.
    std::optional<Location> Step(Location at, uint32_t index) const;
};

// None when the words are not a module with functions.
std::optional<Module> ReadModule(std::span<const uint32_t> spirv);

// A comparison of a constant-buffer scalar with a constant.
struct Candidate {
    size_t Instruction;
    UniformCondition Condition;
};

struct Block {
    size_t First = 0;       // its label
    size_t Terminator = 0;  // 0: none seen
    bool Entry = false;     // a function's first block
};

// What the functions do with the constant buffer's values: the comparisons, the
// blocks and where the buffer's values and the images go.
struct Functions {
    std::vector<Candidate> Candidates;
    std::vector<size_t> Comparisons;                   // every comparison instruction
    std::unordered_map<uint32_t, size_t> Definitions;  // result id -> instruction
    std::unordered_map<size_t, size_t> BlockOf;        // comparison instruction -> block
    std::unordered_map<uint32_t, size_t> Labels;       // label -> block
    std::vector<Block> Cfg;
    std::vector<uint32_t> BranchConditions;
    std::unordered_map<uint32_t, Location> Locations;  // pointer or value in a constant buffer
    std::unordered_map<uint32_t, uint32_t> ImageUnits;  // image variable, or a value loaded from it -> unit
};

Functions FollowBufferValues(const Module& module);

// The values that decide a branch, directly or through logical operators (a select
// computes both sides anyway, so its value decides nothing).
std::unordered_set<uint32_t> DecidingValues(const Module& module, const Functions& functions);

// The comparisons that become specialisation constants, and of which constant.
using Replacements = std::vector<std::pair<size_t, uint32_t>>;  // instruction -> SpecId

struct ScalarConditions {
    std::vector<UniformCondition> Conditions;
    Replacements Replaced;
};

// Distinct deciding conditions on scalars in order of appearance, while the keys
// stay within maxVariants.
ScalarConditions ChooseScalarConditions(const Module& module, const Functions& functions,
                                        const std::unordered_set<uint32_t>& deciding, size_t maxVariants);

// The computation of a comparison from constant-buffer values, texture sizes and
// constants, when it is nothing else.
std::optional<ComputedCondition> SliceComputedCondition(const Module& module, const Functions& functions,
                                                        size_t comparison);

// Computed conditions that decide a branch, not among the replaced comparisons, in
// order of appearance: (comparison instruction, condition).
std::vector<std::pair<size_t, ComputedCondition>> ComputedCandidates(const Module& module, const Functions& functions,
                                                                     const std::unordered_set<uint32_t>& deciding,
                                                                     const Replacements& replaced);

// Values of comparison results that are known (a specialised condition's).
using KnownValues = std::unordered_map<uint32_t, bool>;

// The values the replaced comparisons take under a key of the scalar conditions.
KnownValues ValuesUnderKey(const Module& module, const Replacements& replaced, uint64_t key);

// The blocks that can run when some conditions have known values: from every
// function's first block, following a conditional branch only where its condition
// may be true or false.
std::vector<bool> ReachableBlocks(const Module& module, const Functions& functions, const KnownValues& known);

// What the programs are made over: the scalar conditions' keys and replaced
// comparisons, and which keys leave each compared scalar finite.
struct ProgramSpace {
    const Module& Shader;
    const Functions& Code;
    const Replacements& Replaced;
    size_t ScalarCount;
    std::vector<uint64_t> BaseKeys;
    // scalar -> (its conditions' bits, the keys it gives at finite values)
    std::map<std::pair<uint32_t, uint32_t>, std::pair<uint64_t, std::set<uint64_t>>> Finite;
    size_t MaxVariants;
};

ProgramSpace MakeProgramSpace(const Module& module, const Functions& functions,
                              std::span<const UniformCondition> scalars, const Replacements& replaced,
                              size_t maxVariants);

// Whether a computed condition can have a sure value under a key: not when the key
// needs a scalar it reads to be NaN or infinite (the key that a NaN time gives, for
// example).
bool Decidable(const ProgramSpace& space, const ComputedCondition& condition, uint64_t base);

// The programs: per key of the scalar conditions, one per combination of the
// computed conditions whose comparison can run under it (a decision tree: a
// condition splits only the combinations under which it can run), plus the fallback
// that keeps the computed comparisons, when there are any. `at` holds each computed
// condition's comparison instructions. None when there would be more than
// maxVariants.
std::optional<std::vector<VariantKey>> ProgramTree(const ProgramSpace& space, const std::vector<std::vector<size_t>>& at,
                                                   const std::vector<const ComputedCondition*>& conditions);

// The computed conditions taken, each with its comparison instructions.
struct ComputedConditions {
    std::vector<ComputedCondition> Conditions;
    std::vector<std::vector<size_t>> At;
};

// The code a computed condition takes out of the programs, over both of its values
// and every key under which it can run, the most first: those that take some out,
// while the programs stay within maxVariants.
ComputedConditions ChooseComputedConditions(const ProgramSpace& space,
                                            const std::vector<std::pair<size_t, ComputedCondition>>& candidates);

// The module with each replaced comparison R = a < b turned into R' = a < b;
// R = switch ? R' : constant k (SpecIds as in Specialization).
std::vector<uint32_t> RewriteModule(const Module& module, const Replacements& replaced, size_t scalarCount,
                                    size_t computedCount);

}  // namespace velk::gpu::specialize
