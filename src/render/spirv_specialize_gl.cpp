#include "render/spirv_specialize_gl.h"

#include <glslang/SPIRV/spirv.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <set>
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

std::optional<std::vector<uint64_t>> ReachableKeys(std::span<const UniformCondition> conditions, size_t limit) {
    if (conditions.size() > 64) return std::nullopt;
    // Conditions on different scalars vary independently: the keys are the
    // combinations of what each scalar's conditions can give.
    std::map<std::pair<uint32_t, uint32_t>, std::vector<size_t>> byScalar;
    for (size_t i = 0; i < conditions.size(); ++i)
        byScalar[{conditions[i].Binding, conditions[i].Offset}].push_back(i);
    std::vector<uint64_t> keys{0};
    for (const auto& [scalar, members] : byScalar) {
        std::vector<UniformCondition> group;
        for (size_t i : members) group.push_back(conditions[i]);
        std::vector<uint64_t> partial;
        for (uint32_t probe : Probes(group)) {
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
            if (decided && std::find(partial.begin(), partial.end(), bits) == partial.end()) partial.push_back(bits);
        }
        if (keys.size() * partial.size() > limit) return std::nullopt;
        std::vector<uint64_t> combined;
        for (uint64_t a : keys)
            for (uint64_t b : partial) combined.push_back(a | b);
        keys = std::move(combined);
    }
    return keys;
}

std::vector<UniformCondition> SpecializeUniformConditions(std::vector<uint32_t>& spirv, size_t maxVariants) {
    if (spirv.size() < 5 || spirv[0] != spv::MagicNumber) return {};
    std::vector<Instruction> instructions;
    for (size_t at = 5; at < spirv.size();) {
        uint32_t count = spirv[at] >> 16;
        if (count == 0 || at + count > spirv.size()) return {};
        instructions.push_back({at, count, spirv[at] & 0xffff});
        at += count;
    }
    auto word = [&](const Instruction& in, size_t i) { return spirv[in.At + i]; };

    // Types, constants, uniform blocks and their member offsets.
    std::unordered_set<uint32_t> boolTypes, blocks;
    std::unordered_map<uint32_t, uint32_t> scalarWidth;                // int or float type -> bits
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> vectors;  // type -> (component, count)
    std::unordered_map<uint32_t, std::vector<uint32_t>> structs;          // type -> member types
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> pointers;  // type -> (storage class, pointee)
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> memberOffsets;
    std::unordered_map<uint32_t, uint32_t> bindings;
    std::unordered_map<uint32_t, uint32_t> constants;  // 32-bit scalar constant -> bits
    std::unordered_map<uint32_t, Location> locations;  // pointer or value in a constant buffer
    size_t firstFunction = instructions.size(), afterAnnotations = 0, firstType = 0;
    for (size_t n = 0; n < instructions.size(); ++n) {
        const Instruction& in = instructions[n];
        switch (in.Op) {
            case spv::OpTypeBool: boolTypes.insert(word(in, 1)); break;
            case spv::OpTypeInt:
            case spv::OpTypeFloat: scalarWidth[word(in, 1)] = word(in, 2); break;
            case spv::OpTypeVector: vectors[word(in, 1)] = {word(in, 2), word(in, 3)}; break;
            case spv::OpTypeStruct: structs[word(in, 1)] = {&spirv[in.At + 2], &spirv[in.At + in.Count]}; break;
            case spv::OpTypePointer: pointers[word(in, 1)] = {word(in, 2), word(in, 3)}; break;
            case spv::OpConstant:
                if (in.Count == 4) constants[word(in, 2)] = word(in, 3);
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
        if (in.Op != spv::OpVariable || in.Count < 4 || word(in, 3) != spv::StorageClassUniform) continue;
        auto pointer = pointers.find(word(in, 1));
        auto binding = bindings.find(word(in, 2));
        if (pointer == pointers.end() || binding == bindings.end() || !blocks.count(pointer->second.second)) continue;
        locations[word(in, 2)] = {binding->second, 0, pointer->second.second};
    }

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

    // Follow the buffer's values through the functions; note the comparisons.
    struct Candidate {
        size_t Instruction;
        UniformCondition Condition;
    };
    std::vector<Candidate> candidates;
    std::unordered_map<uint32_t, size_t> definitions;  // result id -> instruction
    std::vector<uint32_t> branchConditions;
    for (size_t n = firstFunction; n < instructions.size(); ++n) {
        const Instruction& in = instructions[n];
        if (in.Op == spv::OpBranchConditional) {
            branchConditions.push_back(word(in, 1));
            continue;
        }
        if (in.Count >= 3) definitions[word(in, 2)] = n;
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

    // Distinct conditions in order of appearance, while the variants stay few.
    std::vector<UniformCondition> chosen;
    std::vector<std::pair<size_t, uint32_t>> replaced;  // instruction -> SpecId
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
    }
    if (chosen.empty()) return {};

    // Each condition k becomes a specialisation constant (SpecId k), and one more
    // (SpecId = the count) chooses the general program: every replaced comparison
    // R = a < b turns into R' = a < b; R = general ? R' : constant k. The general
    // program so computes every comparison as before; a variant folds each to its
    // constant.
    const uint32_t generalId = static_cast<uint32_t>(chosen.size());
    uint32_t bound = spirv[3];
    std::vector<uint32_t> globals, decorations;
    std::vector<uint32_t> constantIds;
    const uint32_t boolType = word(instructions[replaced.front().first], 1);
    for (uint32_t id = 0; id <= generalId; ++id) {
        uint32_t result = bound++;
        constantIds.push_back(result);
        globals.insert(globals.end(), {(3u << 16) | spv::OpSpecConstantFalse, boolType, result});
        decorations.insert(decorations.end(), {(4u << 16) | spv::OpDecorate, result, spv::DecorationSpecId, id});
    }
    std::unordered_map<size_t, uint32_t> replacedAt(replaced.begin(), replaced.end());
    std::vector<uint32_t> out(spirv.begin(), spirv.begin() + 5);
    for (size_t n = 0; n < instructions.size(); ++n) {
        const Instruction& in = instructions[n];
        if (n == afterAnnotations) out.insert(out.end(), decorations.begin(), decorations.end());
        if (n == firstFunction) out.insert(out.end(), globals.begin(), globals.end());
        auto r = replacedAt.find(n);
        if (r == replacedAt.end()) {
            out.insert(out.end(), spirv.begin() + in.At, spirv.begin() + in.At + in.Count);
            continue;
        }
        uint32_t comparison = bound++;
        out.insert(out.end(), {spirv[in.At], word(in, 1), comparison, word(in, 3), word(in, 4)});
        out.insert(out.end(), {(6u << 16) | spv::OpSelect, word(in, 1), word(in, 2), constantIds[generalId],
                               comparison, constantIds[r->second]});
    }
    out[3] = bound;
    spirv = std::move(out);
    return chosen;
}

}  // namespace velk::gpu
