#include "render/gl/spirv_specialize_gl.h"

#include <glslang/SPIRV/GLSL.std.450.h>
#include <glslang/SPIRV/spirv.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace velk::gpu {

namespace {

enum class Kind { Float, Signed, Unsigned, Bits };

Kind KindOf(uint32_t op) {
    switch (op) {
        case spv::OpIEqual:
        case spv::OpINotEqual: return Kind::Bits;
        case spv::OpSLessThan:
        case spv::OpSLessThanEqual:
        case spv::OpSGreaterThan:
        case spv::OpSGreaterThanEqual: return Kind::Signed;
        case spv::OpULessThan:
        case spv::OpULessThanEqual:
        case spv::OpUGreaterThan:
        case spv::OpUGreaterThanEqual: return Kind::Unsigned;
        default: return Kind::Float;
    }
}

bool IsComparison(uint32_t op) { return op >= spv::OpIEqual && op <= spv::OpFUnordGreaterThanEqual; }

// The same comparison with its operands swapped: a < b is b > a.
uint32_t Swapped(uint32_t op) {
    switch (op) {
        case spv::OpSLessThan: return spv::OpSGreaterThan;
        case spv::OpSGreaterThan: return spv::OpSLessThan;
        case spv::OpSLessThanEqual: return spv::OpSGreaterThanEqual;
        case spv::OpSGreaterThanEqual: return spv::OpSLessThanEqual;
        case spv::OpULessThan: return spv::OpUGreaterThan;
        case spv::OpUGreaterThan: return spv::OpULessThan;
        case spv::OpULessThanEqual: return spv::OpUGreaterThanEqual;
        case spv::OpUGreaterThanEqual: return spv::OpULessThanEqual;
        case spv::OpFOrdLessThan: return spv::OpFOrdGreaterThan;
        case spv::OpFOrdGreaterThan: return spv::OpFOrdLessThan;
        case spv::OpFOrdLessThanEqual: return spv::OpFOrdGreaterThanEqual;
        case spv::OpFOrdGreaterThanEqual: return spv::OpFOrdLessThanEqual;
        case spv::OpFUnordLessThan: return spv::OpFUnordGreaterThan;
        case spv::OpFUnordGreaterThan: return spv::OpFUnordLessThan;
        case spv::OpFUnordLessThanEqual: return spv::OpFUnordGreaterThanEqual;
        case spv::OpFUnordGreaterThanEqual: return spv::OpFUnordLessThanEqual;
        default: return op;  // equality
    }
}

template <class T>
bool Compare(uint32_t op, T a, T b) {
    switch (op) {
        case spv::OpIEqual: return a == b;
        case spv::OpINotEqual: return a != b;
        case spv::OpSLessThan:
        case spv::OpULessThan: return a < b;
        case spv::OpSLessThanEqual:
        case spv::OpULessThanEqual: return a <= b;
        case spv::OpSGreaterThan:
        case spv::OpUGreaterThan: return a > b;
        case spv::OpSGreaterThanEqual:
        case spv::OpUGreaterThanEqual: return a >= b;
        default: return false;
    }
}

bool CompareFloat(uint32_t op, float a, float b) {
    const bool unordered = std::isnan(a) || std::isnan(b);
    switch (op) {
        case spv::OpFOrdEqual: return !unordered && a == b;
        case spv::OpFUnordEqual: return unordered || a == b;
        case spv::OpFOrdNotEqual: return !unordered && a != b;
        case spv::OpFUnordNotEqual: return unordered || a != b;
        case spv::OpFOrdLessThan: return !unordered && a < b;
        case spv::OpFUnordLessThan: return unordered || a < b;
        case spv::OpFOrdGreaterThan: return !unordered && a > b;
        case spv::OpFUnordGreaterThan: return unordered || a > b;
        case spv::OpFOrdLessThanEqual: return !unordered && a <= b;
        case spv::OpFUnordLessThanEqual: return unordered || a <= b;
        case spv::OpFOrdGreaterThanEqual: return !unordered && a >= b;
        case spv::OpFUnordGreaterThanEqual: return unordered || a >= b;
        default: return false;
    }
}

// Values of one scalar that meet every distinct outcome of the comparisons made
// of it: each constant, its neighbours, and the ends of the range, in ascending
// order (as the first comparison reads the scalar; NaN last).
std::vector<uint32_t> Probes(std::span<const UniformCondition> conditions) {
    std::set<uint32_t> probes;
    for (const UniformCondition& c : conditions) {
        if (KindOf(c.Op) == Kind::Float) {
            const float v = std::bit_cast<float>(c.Constant);
            const float inf = std::numeric_limits<float>::infinity();
            for (float f : {v, std::nextafter(v, -inf), std::nextafter(v, inf), -inf, inf,
                            std::numeric_limits<float>::quiet_NaN(), 0.0f, std::numeric_limits<float>::min(),
                            -std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::lowest()})
                probes.insert(std::bit_cast<uint32_t>(f));
        } else {
            for (uint32_t u : {c.Constant, c.Constant - 1, c.Constant + 1, 0u, 0x7fffffffu, 0x80000000u,
                               0xffffffffu})
                probes.insert(u);
        }
    }
    std::vector<uint32_t> sorted(probes.begin(), probes.end());
    const Kind kind = KindOf(conditions.front().Op);
    std::stable_sort(sorted.begin(), sorted.end(), [kind](uint32_t a, uint32_t b) {
        if (kind == Kind::Float) {
            const float x = std::bit_cast<float>(a), y = std::bit_cast<float>(b);
            if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
            return x < y;
        }
        if (kind == Kind::Signed) return static_cast<int32_t>(a) < static_cast<int32_t>(b);
        return a < b;
    });
    return sorted;
}

// --- reading a module ---

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

}  // namespace

std::optional<bool> EvaluateCondition(const UniformCondition& condition, uint32_t value) {
    switch (KindOf(condition.Op)) {
        case Kind::Float: {
            const float a = std::bit_cast<float>(value), b = std::bit_cast<float>(condition.Constant);
            if (std::fpclassify(a) == FP_SUBNORMAL || std::fpclassify(b) == FP_SUBNORMAL) return std::nullopt;
            return CompareFloat(condition.Op, a, b);
        }
        case Kind::Signed:
            return Compare(condition.Op, static_cast<int32_t>(value), static_cast<int32_t>(condition.Constant));
        case Kind::Unsigned:
        case Kind::Bits: return Compare(condition.Op, value, condition.Constant);
    }
    return std::nullopt;
}

namespace {

// The conditions' indices by the scalar they read.
std::map<std::pair<uint32_t, uint32_t>, std::vector<size_t>> ByScalar(std::span<const UniformCondition> conditions) {
    std::map<std::pair<uint32_t, uint32_t>, std::vector<size_t>> byScalar;
    for (size_t i = 0; i < conditions.size(); ++i)
        byScalar[{conditions[i].Binding, conditions[i].Offset}].push_back(i);
    return byScalar;
}

// The distinct values (bit i = condition i) that one scalar's conditions (members)
// take at the values probing them, in the probes' order; with finiteOnly, at finite
// values only. A probe at which one of them has no value gives none.
std::vector<uint64_t> ScalarKeys(std::span<const UniformCondition> conditions, const std::vector<size_t>& members,
                                 bool finiteOnly) {
    std::vector<UniformCondition> group;
    for (size_t i : members) group.push_back(conditions[i]);
    std::vector<uint64_t> keys;
    for (uint32_t probe : Probes(group)) {
        if (finiteOnly && KindOf(group.front().Op) == Kind::Float && !std::isfinite(std::bit_cast<float>(probe)))
            continue;
        uint64_t bits = 0;
        bool decided = true;
        for (size_t i : members) {
            std::optional<bool> value = EvaluateCondition(conditions[i], probe);
            if (!value) {
                decided = false;
                break;
            }
            if (*value) bits |= uint64_t(1) << i;
        }
        if (decided && std::find(keys.begin(), keys.end(), bits) == keys.end()) keys.push_back(bits);
    }
    return keys;
}

}  // namespace

std::optional<std::vector<uint64_t>> ReachableKeys(std::span<const UniformCondition> conditions, size_t limit) {
    if (conditions.size() > 64) return std::nullopt;
    // Conditions on different scalars vary independently: the keys are the
    // combinations of what each scalar's conditions can give.
    std::vector<uint64_t> keys{0};
    for (const auto& [scalar, members] : ByScalar(conditions)) {
        std::vector<uint64_t> partial = ScalarKeys(conditions, members, false);
        if (keys.size() * partial.size() > limit) return std::nullopt;
        std::vector<uint64_t> combined;
        for (uint64_t a : keys)
            for (uint64_t b : partial) combined.push_back(a | b);
        keys = std::move(combined);
    }
    return keys;
}

namespace {

bool IsTerminator(uint32_t op) {
    switch (op) {
        case spv::OpBranch:
        case spv::OpBranchConditional:
        case spv::OpSwitch:
        case spv::OpKill:
        case spv::OpReturn:
        case spv::OpReturnValue:
        case spv::OpUnreachable:
        case spv::OpTerminateInvocation: return true;
        default: return false;
    }
}

// Instructions whose third word is not a result id.
bool HasNoResultWord2(uint32_t op) {
    if (IsTerminator(op)) return true;
    switch (op) {
        case spv::OpNop:
        case spv::OpLine:
        case spv::OpNoLine:
        case spv::OpStore:
        case spv::OpCopyMemory:
        case spv::OpCopyMemorySized:
        case spv::OpImageWrite:
        case spv::OpSelectionMerge:
        case spv::OpLoopMerge:
        case spv::OpLifetimeStart:
        case spv::OpLifetimeStop:
        case spv::OpAtomicStore:
        case spv::OpControlBarrier:
        case spv::OpMemoryBarrier:
        case spv::OpDemoteToHelperInvocation:
        case spv::OpLabel:
        case spv::OpFunctionEnd:
        case spv::OpEmitVertex:
        case spv::OpEndPrimitive: return true;
        default: return false;
    }
}

// The instructions a computed condition may consist of besides its leaves; every
// operand from the third word on is an id.
bool IsComputable(uint32_t op) {
    switch (op) {
        case spv::OpConvertSToF:
        case spv::OpConvertUToF:
        case spv::OpConvertFToS:
        case spv::OpConvertFToU:
        case spv::OpBitcast:
        case spv::OpFNegate:
        case spv::OpSNegate:
        case spv::OpFAdd:
        case spv::OpFSub:
        case spv::OpFMul:
        case spv::OpFDiv:
        case spv::OpVectorTimesScalar:
        case spv::OpIAdd:
        case spv::OpISub:
        case spv::OpIMul:
        case spv::OpLogicalNot:
        case spv::OpLogicalAnd:
        case spv::OpLogicalOr:
        case spv::OpLogicalEqual:
        case spv::OpLogicalNotEqual:
        case spv::OpSelect:
        case spv::OpCompositeConstruct: return true;
        default: return IsComparison(op);
    }
}

bool IsComputableExtended(uint32_t instruction) {
    switch (instruction) {
        case GLSLstd450FAbs:
        case GLSLstd450SAbs:
        case GLSLstd450Floor:
        case GLSLstd450Ceil:
        case GLSLstd450Trunc:
        case GLSLstd450FMin:
        case GLSLstd450SMin:
        case GLSLstd450UMin:
        case GLSLstd450FMax:
        case GLSLstd450SMax:
        case GLSLstd450UMax:
        case GLSLstd450FClamp:
        case GLSLstd450SClamp:
        case GLSLstd450UClamp:
        case GLSLstd450Step:
        case GLSLstd450SmoothStep:
        case GLSLstd450Fma: return true;
        default: return false;
    }
}

constexpr size_t kMaxExpressionSteps = 256;

}  // namespace

Specialization SpecializeUniformConditions(std::vector<uint32_t>& spirv, size_t maxVariants) {
    if (spirv.size() < 5 || spirv[0] != spv::MagicNumber) return {};
    std::vector<Instruction> instructions;
    for (size_t at = 5; at < spirv.size();) {
        uint32_t count = spirv[at] >> 16;
        if (count == 0 || at + count > spirv.size()) return {};
        instructions.push_back({at, count, spirv[at] & 0xffff});
        at += count;
    }
    auto word = [&](const Instruction& in, size_t i) { return spirv[in.At + i]; };

    // Types, constants, uniform blocks and their member offsets, images.
    std::unordered_set<uint32_t> boolTypes, blocks, imageTypes;
    std::unordered_map<uint32_t, uint32_t> scalarWidth;                // int or float type -> bits
    std::unordered_map<uint32_t, uint32_t> scalarKind;                 // int or float type -> component kind
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> vectors;  // type -> (component, count)
    std::unordered_map<uint32_t, std::vector<uint32_t>> structs;          // type -> member types
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> pointers;  // type -> (storage class, pointee)
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> memberOffsets;
    std::unordered_map<uint32_t, uint32_t> bindings;
    std::unordered_map<uint32_t, uint32_t> constants;  // 32-bit scalar constant -> bits
    std::unordered_map<uint32_t, size_t> globalValues;  // constant or undefined value -> instruction
    std::unordered_map<uint32_t, Location> locations;  // pointer or value in a constant buffer
    std::unordered_map<uint32_t, uint32_t> imageUnits;  // image variable, or a value loaded from it -> unit
    uint32_t glslStd450 = 0;
    size_t firstFunction = instructions.size(), afterAnnotations = 0, firstType = 0;
    for (size_t n = 0; n < instructions.size(); ++n) {
        const Instruction& in = instructions[n];
        switch (in.Op) {
            case spv::OpExtInstImport: {
                const char* name = reinterpret_cast<const char*>(&spirv[in.At + 2]);
                if (std::string(name, strnlen(name, 4 * (in.Count - 2))) == "GLSL.std.450") glslStd450 = word(in, 1);
                break;
            }
            case spv::OpTypeBool: boolTypes.insert(word(in, 1)); break;
            case spv::OpTypeInt:
                scalarWidth[word(in, 1)] = word(in, 2);
                scalarKind[word(in, 1)] = in.Count >= 4 && word(in, 3) ? 1 : 2;
                break;
            case spv::OpTypeFloat:
                scalarWidth[word(in, 1)] = word(in, 2);
                scalarKind[word(in, 1)] = 0;
                break;
            case spv::OpTypeImage: imageTypes.insert(word(in, 1)); break;
            case spv::OpTypeVector: vectors[word(in, 1)] = {word(in, 2), word(in, 3)}; break;
            case spv::OpTypeStruct: structs[word(in, 1)] = {&spirv[in.At + 2], &spirv[in.At + in.Count]}; break;
            case spv::OpTypePointer: pointers[word(in, 1)] = {word(in, 2), word(in, 3)}; break;
            case spv::OpConstant:
                if (in.Count == 4) constants[word(in, 2)] = word(in, 3);
                if (n < firstFunction) globalValues[word(in, 2)] = n;
                break;
            case spv::OpConstantTrue:
            case spv::OpConstantFalse:
            case spv::OpConstantComposite:
            case spv::OpConstantNull:
            case spv::OpUndef:
                if (n < firstFunction) globalValues[word(in, 2)] = n;
                break;
            case spv::OpDecorate:
                if (in.Count >= 3 && word(in, 2) == spv::DecorationBlock) blocks.insert(word(in, 1));
                if (in.Count >= 4 && word(in, 2) == spv::DecorationBinding) bindings[word(in, 1)] = word(in, 3);
                break;
            case spv::OpMemberDecorate:
                if (in.Count >= 5 && word(in, 3) == spv::DecorationOffset)
                    memberOffsets[{word(in, 1), word(in, 2)}] = word(in, 4);
                break;
            case spv::OpFunction: firstFunction = std::min(firstFunction, n); break;
            default: break;
        }
        if (n < firstFunction) {
            if ((in.Op >= spv::OpDecorate && in.Op <= spv::OpGroupMemberDecorate) || in.Op == spv::OpDecorateId ||
                in.Op == spv::OpDecorateString || in.Op == spv::OpMemberDecorateString)
                afterAnnotations = n + 1;
            if (!firstType && in.Op >= spv::OpTypeVoid && in.Op <= spv::OpTypeForwardPointer) firstType = n;
        }
    }
    if (firstFunction == instructions.size()) return {};
    if (!afterAnnotations) afterAnnotations = firstType;
    for (size_t n = 0; n < firstFunction; ++n) {
        const Instruction& in = instructions[n];
        if (in.Op != spv::OpVariable || in.Count < 4) continue;
        auto pointer = pointers.find(word(in, 1));
        auto binding = bindings.find(word(in, 2));
        if (pointer == pointers.end() || binding == bindings.end()) continue;
        if (word(in, 3) == spv::StorageClassUniform && blocks.count(pointer->second.second))
            locations[word(in, 2)] = {binding->second, 0, pointer->second.second};
        if (word(in, 3) == spv::StorageClassUniformConstant && imageTypes.count(pointer->second.second))
            imageUnits[word(in, 2)] = binding->second;
    }

    // The kind and component count of a 32-bit scalar or vector type.
    auto shape = [&](uint32_t type) -> std::optional<std::pair<uint32_t, uint32_t>> {
        uint32_t components = 1;
        if (auto v = vectors.find(type); v != vectors.end()) {
            components = v->second.second;
            type = v->second.first;
        }
        if (components > 4) return std::nullopt;
        if (boolTypes.count(type)) return std::pair{3u, components};
        auto width = scalarWidth.find(type);
        if (width == scalarWidth.end() || width->second != 32) return std::nullopt;
        return std::pair{scalarKind[type], components};
    };

    // Steps one index into a location's type: a struct member or a vector component.
    auto step = [&](Location at, uint32_t index) -> std::optional<Location> {
        if (auto s = structs.find(at.Type); s != structs.end()) {
            auto offset = memberOffsets.find({at.Type, index});
            if (index >= s->second.size() || offset == memberOffsets.end()) return std::nullopt;
            return Location{at.Binding, at.Offset + offset->second, s->second[index]};
        }
        if (auto v = vectors.find(at.Type); v != vectors.end()) {
            auto width = scalarWidth.find(v->second.first);
            if (index >= v->second.second || width == scalarWidth.end() || width->second != 32) return std::nullopt;
            return Location{at.Binding, at.Offset + 4 * index, v->second.first};
        }
        return std::nullopt;
    };

    // Follow the buffer's values through the functions; note the comparisons and
    // the blocks.
    struct Candidate {
        size_t Instruction;
        UniformCondition Condition;
    };
    struct Block {
        size_t First = 0;
        size_t Terminator = 0;
        bool Entry = false;
    };
    std::vector<Candidate> candidates;
    std::vector<size_t> comparisons;                   // every comparison instruction
    std::unordered_map<uint32_t, size_t> definitions;  // result id -> instruction
    std::unordered_map<size_t, size_t> blockOf;        // comparison instruction -> block
    std::unordered_map<uint32_t, size_t> labels;       // label -> block
    std::vector<Block> cfg;
    std::vector<uint32_t> branchConditions;
    bool functionStart = false;
    for (size_t n = firstFunction; n < instructions.size(); ++n) {
        const Instruction& in = instructions[n];
        if (in.Op == spv::OpFunction) functionStart = true;
        if (in.Op == spv::OpLabel) {
            labels[word(in, 1)] = cfg.size();
            cfg.push_back({n, 0, functionStart});
            functionStart = false;
            continue;
        }
        if (IsTerminator(in.Op) && !cfg.empty()) cfg.back().Terminator = n;
        if (in.Op == spv::OpBranchConditional) {
            branchConditions.push_back(word(in, 1));
            continue;
        }
        if (in.Count >= 3 && !HasNoResultWord2(in.Op)) definitions[word(in, 2)] = n;
        switch (in.Op) {
            case spv::OpAccessChain:
            case spv::OpInBoundsAccessChain: {
                auto base = locations.find(word(in, 3));
                if (base == locations.end()) break;
                std::optional<Location> at = base->second;
                for (size_t i = 4; i < in.Count && at; ++i) {
                    auto index = constants.find(word(in, i));
                    at = index == constants.end() ? std::nullopt : step(*at, index->second);
                }
                if (at) locations[word(in, 2)] = *at;
                break;
            }
            case spv::OpLoad: {
                auto source = locations.find(word(in, 3));
                if (source != locations.end()) locations[word(in, 2)] = source->second;
                if (auto image = imageUnits.find(word(in, 3)); image != imageUnits.end())
                    imageUnits[word(in, 2)] = image->second;
                break;
            }
            case spv::OpCompositeExtract: {
                auto source = locations.find(word(in, 3));
                if (source == locations.end()) break;
                std::optional<Location> at = source->second;
                for (size_t i = 4; i < in.Count && at; ++i) at = step(*at, word(in, i));
                if (at) locations[word(in, 2)] = *at;
                break;
            }
            default:
                if (!IsComparison(in.Op) || in.Count != 5 || !boolTypes.count(word(in, 1))) break;
                comparisons.push_back(n);
                if (!cfg.empty()) blockOf[n] = cfg.size() - 1;
                for (int side = 0; side < 2; ++side) {
                    auto value = locations.find(word(in, 3 + side));
                    auto constant = constants.find(word(in, 4 - side));
                    if (value == locations.end() || constant == constants.end()) continue;
                    auto width = scalarWidth.find(value->second.Type);
                    if (width == scalarWidth.end() || width->second != 32) continue;
                    candidates.push_back({n, {value->second.Binding, value->second.Offset,
                                              side == 0 ? in.Op : Swapped(in.Op), constant->second}});
                    break;
                }
                break;
        }
    }

    // Only conditions that decide a branch matter: a select computes both sides anyway.
    std::unordered_set<uint32_t> deciding;
    std::vector<uint32_t> pending = branchConditions;
    while (!pending.empty()) {
        uint32_t id = pending.back();
        pending.pop_back();
        if (!deciding.insert(id).second) continue;
        auto def = definitions.find(id);
        if (def == definitions.end()) continue;
        const Instruction& in = instructions[def->second];
        if (in.Op == spv::OpLogicalOr || in.Op == spv::OpLogicalAnd || in.Op == spv::OpLogicalEqual ||
            in.Op == spv::OpLogicalNotEqual || in.Op == spv::OpLogicalNot || in.Op == spv::OpSelect)
            for (size_t i = in.Op == spv::OpSelect ? 4 : 3; i < in.Count; ++i) pending.push_back(word(in, i));
    }

    // Distinct conditions on scalars in order of appearance, while the keys stay few.
    Specialization result;
    std::vector<UniformCondition>& chosen = result.Conditions;
    std::vector<std::pair<size_t, uint32_t>> replaced;  // instruction -> SpecId
    std::unordered_set<size_t> replacedInstructions;
    for (const Candidate& candidate : candidates) {
        if (!deciding.count(word(instructions[candidate.Instruction], 2))) continue;
        auto same = std::find(chosen.begin(), chosen.end(), candidate.Condition);
        if (same == chosen.end()) {
            chosen.push_back(candidate.Condition);
            if (!ReachableKeys(chosen, maxVariants)) {
                chosen.pop_back();
                continue;
            }
            same = chosen.end() - 1;
        }
        replaced.emplace_back(candidate.Instruction, static_cast<uint32_t>(same - chosen.begin()));
        replacedInstructions.insert(candidate.Instruction);
    }

    // The computation of a comparison from constant-buffer values, texture sizes
    // and constants, when it is nothing else.
    auto slice = [&](size_t comparison) -> std::optional<ComputedCondition> {
        ComputedCondition condition;
        std::unordered_map<uint32_t, uint32_t> done;  // id -> step
        bool input = false;
        std::function<std::optional<uint32_t>(uint32_t)> visit = [&](uint32_t id) -> std::optional<uint32_t> {
            if (auto d = done.find(id); d != done.end()) return d->second;
            if (condition.Steps.size() >= kMaxExpressionSteps) return std::nullopt;
            ExpressionStep s;
            uint32_t type = 0;
            auto def = definitions.find(id);
            bool value = def != definitions.end() && (instructions[def->second].Op == spv::OpLoad ||
                                                      instructions[def->second].Op == spv::OpCompositeExtract);
            if (auto at = locations.find(id); at != locations.end() && value) {
                type = at->second.Type;
                s.Op = spv::OpLoad;
                s.Literals = {at->second.Binding, at->second.Offset};
                input = true;
            } else if (auto g = globalValues.find(id); g != globalValues.end()) {
                const Instruction& in = instructions[g->second];
                type = word(in, 1);
                s.Op = in.Op == spv::OpUndef ? spv::OpUndef : spv::OpConstant;
                if (in.Op == spv::OpConstant) {
                    if (in.Count != 4) return std::nullopt;
                    s.Literals = {word(in, 3)};
                } else if (in.Op == spv::OpConstantTrue || in.Op == spv::OpConstantFalse) {
                    s.Literals = {in.Op == spv::OpConstantTrue ? 1u : 0u};
                } else if (in.Op == spv::OpConstantNull) {
                    s.Literals.assign(4, 0);
                } else if (in.Op == spv::OpConstantComposite) {
                    for (size_t i = 3; i < in.Count; ++i) {
                        auto c = constants.find(word(in, i));
                        if (c == constants.end()) return std::nullopt;
                        s.Literals.push_back(c->second);
                    }
                }
            } else if (auto d = definitions.find(id); d != definitions.end()) {
                const Instruction& in = instructions[d->second];
                type = word(in, 1);
                s.Op = in.Op;
                auto arg = [&](uint32_t operand) {
                    std::optional<uint32_t> index = visit(operand);
                    if (index) s.Args.push_back(*index);
                    return index.has_value();
                };
                switch (in.Op) {
                    case spv::OpUndef: break;
                    case spv::OpImageQuerySizeLod:
                    case spv::OpImageQuerySize: {
                        auto image = imageUnits.find(word(in, 3));
                        if (image == imageUnits.end()) return std::nullopt;
                        s.Literals = {image->second};
                        if (in.Op == spv::OpImageQuerySizeLod && !arg(word(in, 4))) return std::nullopt;
                        input = true;
                        break;
                    }
                    case spv::OpCompositeExtract:
                        if (in.Count != 5 || !arg(word(in, 3))) return std::nullopt;
                        s.Literals = {word(in, 4)};
                        break;
                    case spv::OpVectorShuffle:
                        if (in.Count < 6 || !arg(word(in, 3)) || !arg(word(in, 4))) return std::nullopt;
                        s.Literals.assign(&spirv[in.At + 5], &spirv[in.At + in.Count]);
                        break;
                    case spv::OpExtInst:
                        if (in.Count < 5 || word(in, 3) != glslStd450 || !glslStd450 ||
                            !IsComputableExtended(word(in, 4)))
                            return std::nullopt;
                        s.Extended = word(in, 4);
                        for (size_t i = 5; i < in.Count; ++i)
                            if (!arg(word(in, i))) return std::nullopt;
                        break;
                    default:
                        if (!IsComputable(in.Op)) return std::nullopt;
                        for (size_t i = 3; i < in.Count; ++i)
                            if (!arg(word(in, i))) return std::nullopt;
                        break;
                }
            } else {
                return std::nullopt;
            }
            auto form = shape(type);
            if (!form) return std::nullopt;
            s.Kind = form->first;
            s.Components = form->second;
            condition.Steps.push_back(std::move(s));
            done[id] = static_cast<uint32_t>(condition.Steps.size() - 1);
            return done[id];
        };
        if (!visit(word(instructions[comparison], 2)) || !input) return std::nullopt;
        return condition;
    };

    // The blocks that can run when some conditions have known values: from every
    // function's first block, following a conditional branch only where its
    // condition may be true or false.
    std::unordered_map<uint32_t, bool> known;  // comparison result -> value
    std::function<std::optional<bool>(uint32_t, int)> staticValue = [&](uint32_t id, int depth) -> std::optional<bool> {
        if (auto k = known.find(id); k != known.end()) return k->second;
        if (depth > 64) return std::nullopt;
        if (auto g = globalValues.find(id); g != globalValues.end()) {
            uint32_t op = instructions[g->second].Op;
            if (op == spv::OpConstantTrue) return true;
            if (op == spv::OpConstantFalse) return false;
            return std::nullopt;
        }
        auto def = definitions.find(id);
        if (def == definitions.end()) return std::nullopt;
        const Instruction& in = instructions[def->second];
        auto operand = [&](size_t i) { return staticValue(word(in, i), depth + 1); };
        switch (in.Op) {
            case spv::OpLogicalNot: {
                auto a = operand(3);
                return a ? std::optional<bool>(!*a) : std::nullopt;
            }
            case spv::OpLogicalAnd:
            case spv::OpLogicalOr: {
                bool isAnd = in.Op == spv::OpLogicalAnd;
                auto a = operand(3), b = operand(4);
                if ((a && *a != isAnd) || (b && *b != isAnd)) return !isAnd;
                if (a && b) return isAnd;
                return std::nullopt;
            }
            case spv::OpLogicalEqual:
            case spv::OpLogicalNotEqual: {
                auto a = operand(3), b = operand(4);
                if (!a || !b) return std::nullopt;
                return (*a == *b) == (in.Op == spv::OpLogicalEqual);
            }
            case spv::OpSelect: {
                auto c = operand(3);
                if (c) return operand(*c ? 4 : 5);
                auto a = operand(4), b = operand(5);
                return a && b && *a == *b ? a : std::nullopt;
            }
            default: return std::nullopt;
        }
    };
    auto reachable = [&]() {
        std::vector<bool> seen(cfg.size(), false);
        std::vector<size_t> stack;
        for (size_t b = 0; b < cfg.size(); ++b)
            if (cfg[b].Entry) stack.push_back(b);
        auto go = [&](uint32_t label) {
            auto target = labels.find(label);
            if (target != labels.end()) stack.push_back(target->second);
        };
        while (!stack.empty()) {
            size_t b = stack.back();
            stack.pop_back();
            if (seen[b]) continue;
            seen[b] = true;
            if (!cfg[b].Terminator) continue;
            const Instruction& in = instructions[cfg[b].Terminator];
            if (in.Op == spv::OpBranch) go(word(in, 1));
            if (in.Op == spv::OpBranchConditional) {
                std::optional<bool> value = staticValue(word(in, 1), 0);
                if (!value || *value) go(word(in, 2));
                if (!value || !*value) go(word(in, 3));
            }
            if (in.Op == spv::OpSwitch)
                for (size_t i = 2; i < in.Count; i += 2) go(word(in, i));
        }
        return seen;
    };

    // Computed conditions that decide a branch, distinct, in order of appearance.
    std::vector<std::pair<size_t, ComputedCondition>> computedCandidates;
    for (size_t n : comparisons) {
        if (replacedInstructions.count(n) || !deciding.count(word(instructions[n], 2))) continue;
        if (std::optional<ComputedCondition> condition = slice(n)) computedCandidates.emplace_back(n, std::move(*condition));
    }

    // The programs: per key of the scalar conditions, one per combination of the
    // computed conditions whose comparison can run under it (a decision tree: a
    // condition splits only the combinations under which it can run), plus the
    // fallback that keeps the computed comparisons, when there are any.
    const size_t n = chosen.size();
    std::vector<uint64_t> baseKeys = ReachableKeys(chosen, maxVariants).value_or(std::vector<uint64_t>{0});
    std::vector<ComputedCondition>& computed = result.Computed;
    std::vector<std::vector<size_t>> computedAt;  // SpecId - n -> its comparison instructions

    // Whether a computed condition can have a sure value under a key: not when the
    // key needs a scalar it reads to be NaN or infinite (the key that a NaN time
    // gives, for example).
    std::map<std::pair<uint32_t, uint32_t>, std::pair<uint64_t, std::set<uint64_t>>> finite;  // scalar -> (its bits, finite keys)
    for (const auto& [scalar, members] : ByScalar(chosen)) {
        auto& entry = finite[scalar];
        for (size_t i : members) entry.first |= uint64_t(1) << i;
        for (uint64_t key : ScalarKeys(chosen, members, true)) entry.second.insert(key);
    }
    auto decidable = [&](const ComputedCondition& condition, uint64_t base) {
        for (const ExpressionStep& s : condition.Steps) {
            if (s.Op != spv::OpLoad || s.Literals.size() != 2) continue;
            for (uint32_t c = 0; c < s.Components; ++c) {
                auto entry = finite.find({s.Literals[0], s.Literals[1] + 4 * c});
                if (entry != finite.end() && !entry->second.second.count(base & entry->second.first)) return false;
            }
        }
        return true;
    };

    auto expand = [&](const std::vector<std::vector<size_t>>& at,
                      const std::vector<const ComputedCondition*>& conditions) -> std::optional<std::vector<VariantKey>> {
        std::vector<VariantKey> keys;
        const uint64_t scalarMask = n == 0 ? 0 : (n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1);
        for (uint64_t base : baseKeys) {
            known.clear();
            for (const auto& [instruction, id] : replaced) known[word(instructions[instruction], 2)] = base >> id & 1;
            std::vector<VariantKey> leaves;
            std::function<bool(uint64_t, uint64_t)> split = [&](uint64_t bits, uint64_t mask) {
                std::vector<bool> live = reachable();
                for (size_t k = 0; k < at.size(); ++k) {
                    uint64_t bit = uint64_t(1) << (n + k);
                    if (mask & bit) continue;
                    if (!decidable(*conditions[k], base)) continue;
                    bool runs = false;
                    for (size_t instruction : at[k]) runs = runs || (blockOf.count(instruction) && live[blockOf[instruction]]);
                    if (!runs) continue;
                    for (bool value : {true, false}) {
                        for (size_t instruction : at[k]) known[word(instructions[instruction], 2)] = value;
                        bool fits = split(bits | (value ? bit : 0), mask | bit);
                        for (size_t instruction : at[k]) known.erase(word(instructions[instruction], 2));
                        if (!fits) return false;
                    }
                    return true;
                }
                leaves.push_back({bits, mask});
                return keys.size() + leaves.size() <= maxVariants;
            };
            if (!split(base, scalarMask)) return std::nullopt;
            if (leaves.size() > 1) keys.push_back({base, scalarMask});  // the fallback
            keys.insert(keys.end(), leaves.begin(), leaves.end());
            if (keys.size() > maxVariants) return std::nullopt;
        }
        return keys;
    };
    // The code a computed condition takes out of the programs, over both of its
    // values and every key under which it can run: the most first.
    auto size = [&](const std::vector<bool>& live) {
        size_t total = 0;
        for (size_t b = 0; b < cfg.size(); ++b)
            if (live[b] && cfg[b].Terminator) total += cfg[b].Terminator - cfg[b].First;
        return total;
    };
    std::vector<size_t> gain(computedCandidates.size(), 0);
    for (size_t c = 0; c < computedCandidates.size(); ++c) {
        const size_t instruction = computedCandidates[c].first;
        const uint32_t id = word(instructions[instruction], 2);
        for (uint64_t base : baseKeys) {
            known.clear();
            for (const auto& [at, specId] : replaced) known[word(instructions[at], 2)] = base >> specId & 1;
            std::vector<bool> live = reachable();
            if (!blockOf.count(instruction) || !live[blockOf[instruction]] ||
                !decidable(computedCandidates[c].second, base))
                continue;
            const size_t all = size(live);
            for (bool value : {true, false}) {
                known[id] = value;
                gain[c] += all - size(reachable());
            }
        }
    }
    known.clear();
    std::vector<size_t> order(computedCandidates.size());
    for (size_t c = 0; c < order.size(); ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return gain[a] > gain[b]; });
    if (n + computedCandidates.size() <= 62) {
        std::vector<std::vector<size_t>> at;
        std::vector<const ComputedCondition*> conditions;
        for (size_t c : order) {
            auto& [instruction, condition] = computedCandidates[c];
            if (!gain[c]) continue;
            auto same = std::find(computed.begin(), computed.end(), condition);
            if (same != computed.end()) {
                computedAt[same - computed.begin()].push_back(instruction);
                continue;
            }
            at = computedAt;
            at.push_back({instruction});
            conditions.push_back(&condition);
            if (!expand(at, conditions)) {
                conditions.pop_back();
                continue;
            }
            computed.push_back(condition);
            computedAt = at;
        }
    }
    if (chosen.empty() && computed.empty()) return {};
    std::vector<const ComputedCondition*> conditions;
    for (const ComputedCondition& c : computed) conditions.push_back(&c);
    result.Variants = *expand(computedAt, conditions);
    for (size_t k = 0; k < computedAt.size(); ++k)
        for (size_t instruction : computedAt[k]) replaced.emplace_back(instruction, static_cast<uint32_t>(n + k));

    // Each condition k becomes a specialisation constant (SpecId k). SpecId
    // `count` switches the conditions on scalars back to their comparisons, SpecId
    // `count` + 1 + j computed condition j: every replaced comparison R = a < b turns
    // into R' = a < b; R = switch ? R' : constant k. The general program so computes
    // every comparison as before; a variant folds each that it fixes.
    const uint32_t generalId = static_cast<uint32_t>(result.Count());
    uint32_t bound = spirv[3];
    std::vector<uint32_t> globals, decorations;
    std::vector<uint32_t> constantIds;
    const uint32_t boolType = word(instructions[replaced.front().first], 1);
    for (uint32_t id = 0; id <= generalId + computed.size(); ++id) {
        uint32_t resultId = bound++;
        constantIds.push_back(resultId);
        globals.insert(globals.end(), {(3u << 16) | spv::OpSpecConstantFalse, boolType, resultId});
        decorations.insert(decorations.end(), {(4u << 16) | spv::OpDecorate, resultId, spv::DecorationSpecId, id});
    }
    std::unordered_map<size_t, uint32_t> replacedAt(replaced.begin(), replaced.end());
    std::vector<uint32_t> out(spirv.begin(), spirv.begin() + 5);
    for (size_t i = 0; i < instructions.size(); ++i) {
        const Instruction& in = instructions[i];
        if (i == afterAnnotations) out.insert(out.end(), decorations.begin(), decorations.end());
        if (i == firstFunction) out.insert(out.end(), globals.begin(), globals.end());
        auto r = replacedAt.find(i);
        if (r == replacedAt.end()) {
            out.insert(out.end(), spirv.begin() + in.At, spirv.begin() + in.At + in.Count);
            continue;
        }
        uint32_t comparison = bound++;
        uint32_t choose = constantIds[r->second < n ? generalId : generalId + 1 + (r->second - n)];
        out.insert(out.end(), {spirv[in.At], word(in, 1), comparison, word(in, 3), word(in, 4)});
        out.insert(out.end(), {(6u << 16) | spv::OpSelect, word(in, 1), word(in, 2), choose, comparison,
                               constantIds[r->second]});
    }
    out[3] = bound;
    spirv = std::move(out);
    return result;
}

std::string Specialization::Write() const {
    std::string text;
    for (const UniformCondition& c : Conditions)
        text += "condition " + std::to_string(c.Binding) + " " + std::to_string(c.Offset) + " " + std::to_string(c.Op) +
                " " + std::to_string(c.Constant) + "\n";
    for (const ComputedCondition& c : Computed) {
        text += "computed " + std::to_string(c.Steps.size());
        for (const ExpressionStep& s : c.Steps) {
            text += " " + std::to_string(s.Op) + " " + std::to_string(s.Extended) + " " + std::to_string(s.Kind) + " " +
                    std::to_string(s.Components) + " " + std::to_string(s.Args.size());
            for (uint32_t a : s.Args) text += " " + std::to_string(a);
            text += " " + std::to_string(s.Literals.size());
            for (uint32_t l : s.Literals) text += " " + std::to_string(l);
        }
        text += "\n";
    }
    for (const VariantKey& v : Variants) text += "variant " + std::to_string(v.Bits) + " " + std::to_string(v.Mask) + "\n";
    return text;
}

bool Specialization::ReadLine(const std::string& line) {
    std::istringstream fields(line);
    std::string word;
    fields >> word;
    if (word == "condition") {
        UniformCondition c;
        if (!(fields >> c.Binding >> c.Offset >> c.Op >> c.Constant)) return false;
        Conditions.push_back(c);
        return true;
    }
    if (word == "variant") {
        VariantKey v;
        if (!(fields >> v.Bits >> v.Mask)) return false;
        Variants.push_back(v);
        return true;
    }
    if (word != "computed") return false;
    ComputedCondition c;
    size_t steps = 0;
    if (!(fields >> steps) || steps > kMaxExpressionSteps) return false;
    auto list = [&](std::vector<uint32_t>& into) {
        size_t count = 0;
        if (!(fields >> count) || count > 64) return false;
        into.resize(count);
        for (uint32_t& v : into)
            if (!(fields >> v)) return false;
        return true;
    };
    for (size_t i = 0; i < steps; ++i) {
        ExpressionStep s;
        if (!(fields >> s.Op >> s.Extended >> s.Kind >> s.Components) || !list(s.Args) || !list(s.Literals)) return false;
        c.Steps.push_back(std::move(s));
    }
    Computed.push_back(std::move(c));
    return true;
}

}  // namespace velk::gpu
