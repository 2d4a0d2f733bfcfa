#include "render/gl/spirv_specialize_gl.h"
#include "render/gl/spirv_specialize_stages_gl.h"

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

namespace specialize {

std::optional<std::pair<uint32_t, uint32_t>> Module::Shape(uint32_t type) const {
    uint32_t components = 1;
    if (auto v = Vectors.find(type); v != Vectors.end()) {
        components = v->second.second;
        type = v->second.first;
    }
    if (components > 4) return std::nullopt;
    if (BoolTypes.count(type)) return std::pair{3u, components};
    auto width = ScalarWidth.find(type);
    if (width == ScalarWidth.end() || width->second != 32) return std::nullopt;
    return std::pair{ScalarKind.at(type), components};
}

std::optional<Location> Module::Step(Location at, uint32_t index) const {
    if (auto s = Structs.find(at.Type); s != Structs.end()) {
        auto offset = MemberOffsets.find({at.Type, index});
        if (index >= s->second.size() || offset == MemberOffsets.end()) return std::nullopt;
        return Location{at.Binding, at.Offset + offset->second, s->second[index]};
    }
    if (auto v = Vectors.find(at.Type); v != Vectors.end()) {
        auto width = ScalarWidth.find(v->second.first);
        if (index >= v->second.second || width == ScalarWidth.end() || width->second != 32) return std::nullopt;
        return Location{at.Binding, at.Offset + 4 * index, v->second.first};
    }
    return std::nullopt;
}

namespace {

// Types, constants, decorations and the first function, from the instructions.
void ReadDeclarations(Module& m) {
    size_t firstType = 0;
    m.FirstFunction = m.Instructions.size();
    for (size_t n = 0; n < m.Instructions.size(); ++n) {
        const Instruction& in = m.Instructions[n];
        auto word = [&](size_t i) { return m.Word(in, i); };
        switch (in.Op) {
            case spv::OpExtInstImport: {
                const char* name = reinterpret_cast<const char*>(&m.Words[in.At + 2]);
                if (std::string(name, strnlen(name, 4 * (in.Count - 2))) == "GLSL.std.450") m.GlslStd450 = word(1);
                break;
            }
            case spv::OpTypeBool: m.BoolTypes.insert(word(1)); break;
            case spv::OpTypeInt:
                m.ScalarWidth[word(1)] = word(2);
                m.ScalarKind[word(1)] = in.Count >= 4 && word(3) ? 1 : 2;
                break;
            case spv::OpTypeFloat:
                m.ScalarWidth[word(1)] = word(2);
                m.ScalarKind[word(1)] = 0;
                break;
            case spv::OpTypeImage: m.ImageTypes.insert(word(1)); break;
            case spv::OpTypeVector: m.Vectors[word(1)] = {word(2), word(3)}; break;
            case spv::OpTypeStruct:
                m.Structs[word(1)] = {m.Words.begin() + in.At + 2, m.Words.begin() + in.At + in.Count};
                break;
            case spv::OpTypePointer: m.Pointers[word(1)] = {word(2), word(3)}; break;
            case spv::OpConstant:
                if (in.Count == 4) m.Constants[word(2)] = word(3);
                if (n < m.FirstFunction) m.GlobalValues[word(2)] = n;
                break;
            case spv::OpConstantTrue:
            case spv::OpConstantFalse:
            case spv::OpConstantComposite:
            case spv::OpConstantNull:
            case spv::OpUndef:
                if (n < m.FirstFunction) m.GlobalValues[word(2)] = n;
                break;
            case spv::OpDecorate:
                if (in.Count >= 3 && word(2) == spv::DecorationBlock) m.Blocks.insert(word(1));
                if (in.Count >= 4 && word(2) == spv::DecorationBinding) m.Bindings[word(1)] = word(3);
                break;
            case spv::OpMemberDecorate:
                if (in.Count >= 5 && word(3) == spv::DecorationOffset) m.MemberOffsets[{word(1), word(2)}] = word(4);
                break;
            case spv::OpFunction: m.FirstFunction = std::min(m.FirstFunction, n); break;
            default: break;
        }
        if (n < m.FirstFunction) {
            if ((in.Op >= spv::OpDecorate && in.Op <= spv::OpGroupMemberDecorate) || in.Op == spv::OpDecorateId ||
                in.Op == spv::OpDecorateString || in.Op == spv::OpMemberDecorateString)
                m.AfterAnnotations = n + 1;
            if (!firstType && in.Op >= spv::OpTypeVoid && in.Op <= spv::OpTypeForwardPointer) firstType = n;
        }
    }
    if (!m.AfterAnnotations) m.AfterAnnotations = firstType;
}

// The global variables that are uniform blocks (with their binding) or images
// (with their texture unit).
void ReadVariables(Module& m) {
    for (size_t n = 0; n < m.FirstFunction; ++n) {
        const Instruction& in = m.Instructions[n];
        if (in.Op != spv::OpVariable || in.Count < 4) continue;
        auto pointer = m.Pointers.find(m.Word(in, 1));
        auto binding = m.Bindings.find(m.Word(in, 2));
        if (pointer == m.Pointers.end() || binding == m.Bindings.end()) continue;
        if (m.Word(in, 3) == spv::StorageClassUniform && m.Blocks.count(pointer->second.second))
            m.BlockVariables[m.Word(in, 2)] = {binding->second, 0, pointer->second.second};
        if (m.Word(in, 3) == spv::StorageClassUniformConstant && m.ImageTypes.count(pointer->second.second))
            m.ImageVariables[m.Word(in, 2)] = binding->second;
    }
}

}  // namespace

std::optional<Module> ReadModule(std::span<const uint32_t> spirv) {
    if (spirv.size() < 5 || spirv[0] != spv::MagicNumber) return std::nullopt;
    Module m;
    m.Words = spirv;
    for (size_t at = 5; at < spirv.size();) {
        uint32_t count = spirv[at] >> 16;
        if (count == 0 || at + count > spirv.size()) return std::nullopt;
        m.Instructions.push_back({at, count, spirv[at] & 0xffff});
        at += count;
    }
    ReadDeclarations(m);
    if (m.FirstFunction == m.Instructions.size()) return std::nullopt;
    ReadVariables(m);
    return m;
}

namespace {

// Where a value that an access chain, load or extraction makes lies in a constant
// buffer or which image it is, when its source is one.
void FollowValue(const Module& module, const Instruction& in, Functions& f) {
    auto word = [&](size_t i) { return module.Word(in, i); };
    switch (in.Op) {
        case spv::OpAccessChain:
        case spv::OpInBoundsAccessChain: {
            auto base = f.Locations.find(word(3));
            if (base == f.Locations.end()) break;
            std::optional<Location> at = base->second;
            for (size_t i = 4; i < in.Count && at; ++i) {
                auto index = module.Constants.find(word(i));
                at = index == module.Constants.end() ? std::nullopt : module.Step(*at, index->second);
            }
            if (at) f.Locations[word(2)] = *at;
            break;
        }
        case spv::OpLoad: {
            auto source = f.Locations.find(word(3));
            if (source != f.Locations.end()) f.Locations[word(2)] = source->second;
            if (auto image = f.ImageUnits.find(word(3)); image != f.ImageUnits.end()) f.ImageUnits[word(2)] = image->second;
            break;
        }
        case spv::OpCompositeExtract: {
            auto source = f.Locations.find(word(3));
            if (source == f.Locations.end()) break;
            std::optional<Location> at = source->second;
            for (size_t i = 4; i < in.Count && at; ++i) at = module.Step(*at, word(i));
            if (at) f.Locations[word(2)] = *at;
            break;
        }
        default: break;
    }
}

// A comparison (instruction n): noted, and a candidate when it compares a 32-bit
// constant-buffer scalar with a constant.
void NoteComparison(const Module& module, size_t n, Functions& f) {
    const Instruction& in = module.Instructions[n];
    auto word = [&](size_t i) { return module.Word(in, i); };
    f.Comparisons.push_back(n);
    if (!f.Cfg.empty()) f.BlockOf[n] = f.Cfg.size() - 1;
    for (int side = 0; side < 2; ++side) {
        auto value = f.Locations.find(word(3 + side));
        auto constant = module.Constants.find(word(4 - side));
        if (value == f.Locations.end() || constant == module.Constants.end()) continue;
        auto width = module.ScalarWidth.find(value->second.Type);
        if (width == module.ScalarWidth.end() || width->second != 32) continue;
        f.Candidates.push_back(
            {n, {value->second.Binding, value->second.Offset, side == 0 ? in.Op : Swapped(in.Op), constant->second}});
        break;
    }
}

}  // namespace

Functions FollowBufferValues(const Module& module) {
    Functions f;
    f.Locations = module.BlockVariables;
    f.ImageUnits = module.ImageVariables;
    bool functionStart = false;
    for (size_t n = module.FirstFunction; n < module.Instructions.size(); ++n) {
        const Instruction& in = module.Instructions[n];
        if (in.Op == spv::OpFunction) functionStart = true;
        if (in.Op == spv::OpLabel) {
            f.Labels[module.Word(in, 1)] = f.Cfg.size();
            f.Cfg.push_back({n, 0, functionStart});
            functionStart = false;
            continue;
        }
        if (IsTerminator(in.Op) && !f.Cfg.empty()) f.Cfg.back().Terminator = n;
        if (in.Op == spv::OpBranchConditional) {
            f.BranchConditions.push_back(module.Word(in, 1));
            continue;
        }
        if (in.Count >= 3 && !HasNoResultWord2(in.Op)) f.Definitions[module.Word(in, 2)] = n;
        FollowValue(module, in, f);
        if (IsComparison(in.Op) && in.Count == 5 && module.BoolTypes.count(module.Word(in, 1)))
            NoteComparison(module, n, f);
    }
    return f;
}

std::unordered_set<uint32_t> DecidingValues(const Module& module, const Functions& functions) {
    std::unordered_set<uint32_t> deciding;
    std::vector<uint32_t> pending = functions.BranchConditions;
    while (!pending.empty()) {
        uint32_t id = pending.back();
        pending.pop_back();
        if (!deciding.insert(id).second) continue;
        auto def = functions.Definitions.find(id);
        if (def == functions.Definitions.end()) continue;
        const Instruction& in = module.Instructions[def->second];
        if (in.Op == spv::OpLogicalOr || in.Op == spv::OpLogicalAnd || in.Op == spv::OpLogicalEqual ||
            in.Op == spv::OpLogicalNotEqual || in.Op == spv::OpLogicalNot || in.Op == spv::OpSelect)
            for (size_t i = in.Op == spv::OpSelect ? 4 : 3; i < in.Count; ++i) pending.push_back(module.Word(in, i));
    }
    return deciding;
}

ScalarConditions ChooseScalarConditions(const Module& module, const Functions& functions,
                                        const std::unordered_set<uint32_t>& deciding, size_t maxVariants) {
    ScalarConditions result;
    std::vector<UniformCondition>& chosen = result.Conditions;
    for (const Candidate& candidate : functions.Candidates) {
        if (!deciding.count(module.ResultOf(candidate.Instruction))) continue;
        auto same = std::find(chosen.begin(), chosen.end(), candidate.Condition);
        if (same == chosen.end()) {
            chosen.push_back(candidate.Condition);
            if (!ReachableKeys(chosen, maxVariants)) {
                chosen.pop_back();
                continue;
            }
            same = chosen.end() - 1;
        }
        result.Replaced.emplace_back(candidate.Instruction, static_cast<uint32_t>(same - chosen.begin()));
    }
    return result;
}

namespace {

// Renumbers a comparison's computation into expression steps.
class Slicer {
public:
    Slicer(const Module& module, const Functions& functions) : m_(module), f_(functions) {}

    std::optional<ComputedCondition> Slice(size_t comparison) {
        if (!Visit(m_.ResultOf(comparison)) || !input_) return std::nullopt;
        return std::move(condition_);
    }

private:
    // The step of a value, made with those of its operands.
    std::optional<uint32_t> Visit(uint32_t id) {
        if (auto d = done_.find(id); d != done_.end()) return d->second;
        if (condition_.Steps.size() >= kMaxExpressionSteps) return std::nullopt;
        ExpressionStep s;
        uint32_t type = 0;
        auto def = f_.Definitions.find(id);
        bool value = def != f_.Definitions.end() && (m_.Instructions[def->second].Op == spv::OpLoad ||
                                                     m_.Instructions[def->second].Op == spv::OpCompositeExtract);
        if (auto at = f_.Locations.find(id); at != f_.Locations.end() && value) {
            type = at->second.Type;
            s.Op = spv::OpLoad;
            s.Literals = {at->second.Binding, at->second.Offset};
            input_ = true;
        } else if (auto g = m_.GlobalValues.find(id); g != m_.GlobalValues.end()) {
            const Instruction& in = m_.Instructions[g->second];
            type = m_.Word(in, 1);
            if (!GlobalStep(in, s)) return std::nullopt;
        } else if (auto d = f_.Definitions.find(id); d != f_.Definitions.end()) {
            const Instruction& in = m_.Instructions[d->second];
            type = m_.Word(in, 1);
            if (!ComputedStep(in, s)) return std::nullopt;
        } else {
            return std::nullopt;
        }
        auto form = m_.Shape(type);
        if (!form) return std::nullopt;
        s.Kind = form->first;
        s.Components = form->second;
        condition_.Steps.push_back(std::move(s));
        done_[id] = static_cast<uint32_t>(condition_.Steps.size() - 1);
        return done_[id];
    }

    // A constant or an undefined value.
    bool GlobalStep(const Instruction& in, ExpressionStep& s) {
        s.Op = in.Op == spv::OpUndef ? spv::OpUndef : spv::OpConstant;
        if (in.Op == spv::OpConstant) {
            if (in.Count != 4) return false;
            s.Literals = {m_.Word(in, 3)};
        } else if (in.Op == spv::OpConstantTrue || in.Op == spv::OpConstantFalse) {
            s.Literals = {in.Op == spv::OpConstantTrue ? 1u : 0u};
        } else if (in.Op == spv::OpConstantNull) {
            s.Literals.assign(4, 0);
        } else if (in.Op == spv::OpConstantComposite) {
            for (size_t i = 3; i < in.Count; ++i) {
                auto c = m_.Constants.find(m_.Word(in, i));
                if (c == m_.Constants.end()) return false;
                s.Literals.push_back(c->second);
            }
        }
        return true;
    }

    // An instruction of the functions: a texture size query or a computable one.
    bool ComputedStep(const Instruction& in, ExpressionStep& s) {
        auto word = [&](size_t i) { return m_.Word(in, i); };
        s.Op = in.Op;
        auto arg = [&](uint32_t operand) {
            std::optional<uint32_t> index = Visit(operand);
            if (index) s.Args.push_back(*index);
            return index.has_value();
        };
        switch (in.Op) {
            case spv::OpUndef: break;
            case spv::OpImageQuerySizeLod:
            case spv::OpImageQuerySize: {
                auto image = f_.ImageUnits.find(word(3));
                if (image == f_.ImageUnits.end()) return false;
                s.Literals = {image->second};
                if (in.Op == spv::OpImageQuerySizeLod && !arg(word(4))) return false;
                input_ = true;
                break;
            }
            case spv::OpCompositeExtract:
                if (in.Count != 5 || !arg(word(3))) return false;
                s.Literals = {word(4)};
                break;
            case spv::OpVectorShuffle:
                if (in.Count < 6 || !arg(word(3)) || !arg(word(4))) return false;
                s.Literals.assign(m_.Words.begin() + in.At + 5, m_.Words.begin() + in.At + in.Count);
                break;
            case spv::OpExtInst:
                if (in.Count < 5 || word(3) != m_.GlslStd450 || !m_.GlslStd450 || !IsComputableExtended(word(4)))
                    return false;
                s.Extended = word(4);
                for (size_t i = 5; i < in.Count; ++i)
                    if (!arg(word(i))) return false;
                break;
            default:
                if (!IsComputable(in.Op)) return false;
                for (size_t i = 3; i < in.Count; ++i)
                    if (!arg(word(i))) return false;
                break;
        }
        return true;
    }

    const Module& m_;
    const Functions& f_;
    ComputedCondition condition_;
    std::unordered_map<uint32_t, uint32_t> done_;  // id -> step
    bool input_ = false;                           // reads a buffer value or a texture size
};

}  // namespace

std::optional<ComputedCondition> SliceComputedCondition(const Module& module, const Functions& functions,
                                                        size_t comparison) {
    return Slicer(module, functions).Slice(comparison);
}

std::vector<std::pair<size_t, ComputedCondition>> ComputedCandidates(const Module& module, const Functions& functions,
                                                                     const std::unordered_set<uint32_t>& deciding,
                                                                     const Replacements& replaced) {
    std::unordered_set<size_t> replacedInstructions;
    for (const auto& [instruction, specId] : replaced) replacedInstructions.insert(instruction);
    std::vector<std::pair<size_t, ComputedCondition>> candidates;
    for (size_t n : functions.Comparisons) {
        if (replacedInstructions.count(n) || !deciding.count(module.ResultOf(n))) continue;
        if (std::optional<ComputedCondition> condition = SliceComputedCondition(module, functions, n))
            candidates.emplace_back(n, std::move(*condition));
    }
    return candidates;
}

KnownValues ValuesUnderKey(const Module& module, const Replacements& replaced, uint64_t key) {
    KnownValues known;
    for (const auto& [instruction, id] : replaced) known[module.ResultOf(instruction)] = key >> id & 1;
    return known;
}

namespace {

// A boolean's value when the known values fix it.
std::optional<bool> StaticValue(const Module& module, const Functions& functions, const KnownValues& known,
                                uint32_t id, int depth) {
    if (auto k = known.find(id); k != known.end()) return k->second;
    if (depth > 64) return std::nullopt;
    if (auto g = module.GlobalValues.find(id); g != module.GlobalValues.end()) {
        uint32_t op = module.Instructions[g->second].Op;
        if (op == spv::OpConstantTrue) return true;
        if (op == spv::OpConstantFalse) return false;
        return std::nullopt;
    }
    auto def = functions.Definitions.find(id);
    if (def == functions.Definitions.end()) return std::nullopt;
    const Instruction& in = module.Instructions[def->second];
    auto operand = [&](size_t i) { return StaticValue(module, functions, known, module.Word(in, i), depth + 1); };
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
}

}  // namespace

std::vector<bool> ReachableBlocks(const Module& module, const Functions& functions, const KnownValues& known) {
    const std::vector<Block>& cfg = functions.Cfg;
    std::vector<bool> seen(cfg.size(), false);
    std::vector<size_t> stack;
    for (size_t b = 0; b < cfg.size(); ++b)
        if (cfg[b].Entry) stack.push_back(b);
    auto go = [&](uint32_t label) {
        auto target = functions.Labels.find(label);
        if (target != functions.Labels.end()) stack.push_back(target->second);
    };
    while (!stack.empty()) {
        size_t b = stack.back();
        stack.pop_back();
        if (seen[b]) continue;
        seen[b] = true;
        if (!cfg[b].Terminator) continue;
        const Instruction& in = module.Instructions[cfg[b].Terminator];
        auto word = [&](size_t i) { return module.Word(in, i); };
        if (in.Op == spv::OpBranch) go(word(1));
        if (in.Op == spv::OpBranchConditional) {
            std::optional<bool> value = StaticValue(module, functions, known, word(1), 0);
            if (!value || *value) go(word(2));
            if (!value || !*value) go(word(3));
        }
        if (in.Op == spv::OpSwitch)
            for (size_t i = 2; i < in.Count; i += 2) go(word(i));
    }
    return seen;
}

ProgramSpace MakeProgramSpace(const Module& module, const Functions& functions,
                              std::span<const UniformCondition> scalars, const Replacements& replaced,
                              size_t maxVariants) {
    ProgramSpace space{module, functions, replaced, scalars.size(),
                       ReachableKeys(scalars, maxVariants).value_or(std::vector<uint64_t>{0}), {}, maxVariants};
    for (const auto& [scalar, members] : ByScalar(scalars)) {
        auto& entry = space.Finite[scalar];
        for (size_t i : members) entry.first |= uint64_t(1) << i;
        for (uint64_t key : ScalarKeys(scalars, members, true)) entry.second.insert(key);
    }
    return space;
}

bool Decidable(const ProgramSpace& space, const ComputedCondition& condition, uint64_t base) {
    for (const ExpressionStep& s : condition.Steps) {
        if (s.Op != spv::OpLoad || s.Literals.size() != 2) continue;
        for (uint32_t c = 0; c < s.Components; ++c) {
            auto entry = space.Finite.find({s.Literals[0], s.Literals[1] + 4 * c});
            if (entry != space.Finite.end() && !entry->second.second.count(base & entry->second.first)) return false;
        }
    }
    return true;
}

namespace {

// Whether one of a computed condition's comparisons (instructions) is in a block
// that can run.
bool RunsIn(const Functions& functions, const std::vector<bool>& live, const std::vector<size_t>& instructions) {
    bool runs = false;
    for (size_t instruction : instructions) {
        auto block = functions.BlockOf.find(instruction);
        runs = runs || (block != functions.BlockOf.end() && live[block->second]);
    }
    return runs;
}

// The leaves of the program tree under one key of the scalar conditions: splits
// (bits, mask) on the first computed condition that can run there and have a sure
// value, and so on. False when the programs would be more than maxVariants.
class ProgramSplitter {
public:
    ProgramSplitter(const ProgramSpace& space, const std::vector<std::vector<size_t>>& at,
                    const std::vector<const ComputedCondition*>& conditions, uint64_t base, size_t programsBefore)
        : space_(space), at_(at), conditions_(conditions), base_(base), programsBefore_(programsBefore),
          known_(ValuesUnderKey(space.Shader, space.Replaced, base)) {}

    bool Split(uint64_t bits, uint64_t mask) {
        std::vector<bool> live = ReachableBlocks(space_.Shader, space_.Code, known_);
        for (size_t k = 0; k < at_.size(); ++k) {
            uint64_t bit = uint64_t(1) << (space_.ScalarCount + k);
            if (mask & bit) continue;
            if (!Decidable(space_, *conditions_[k], base_)) continue;
            if (!RunsIn(space_.Code, live, at_[k])) continue;
            for (bool value : {true, false}) {
                for (size_t instruction : at_[k]) known_[space_.Shader.ResultOf(instruction)] = value;
                bool fits = Split(bits | (value ? bit : 0), mask | bit);
                for (size_t instruction : at_[k]) known_.erase(space_.Shader.ResultOf(instruction));
                if (!fits) return false;
            }
            return true;
        }
        Leaves.push_back({bits, mask});
        return programsBefore_ + Leaves.size() <= space_.MaxVariants;
    }

    std::vector<VariantKey> Leaves;

private:
    const ProgramSpace& space_;
    const std::vector<std::vector<size_t>>& at_;
    const std::vector<const ComputedCondition*>& conditions_;
    uint64_t base_;
    size_t programsBefore_;
    KnownValues known_;
};

}  // namespace

std::optional<std::vector<VariantKey>> ProgramTree(const ProgramSpace& space, const std::vector<std::vector<size_t>>& at,
                                                   const std::vector<const ComputedCondition*>& conditions) {
    std::vector<VariantKey> keys;
    const size_t n = space.ScalarCount;
    const uint64_t scalarMask = n == 0 ? 0 : (n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1);
    for (uint64_t base : space.BaseKeys) {
        ProgramSplitter splitter(space, at, conditions, base, keys.size());
        if (!splitter.Split(base, scalarMask)) return std::nullopt;
        if (splitter.Leaves.size() > 1) keys.push_back({base, scalarMask});  // the fallback
        keys.insert(keys.end(), splitter.Leaves.begin(), splitter.Leaves.end());
        if (keys.size() > space.MaxVariants) return std::nullopt;
    }
    return keys;
}

namespace {

// The instructions of the blocks that can run.
size_t CodeSize(const Functions& functions, const std::vector<bool>& live) {
    size_t total = 0;
    for (size_t b = 0; b < functions.Cfg.size(); ++b)
        if (live[b] && functions.Cfg[b].Terminator) total += functions.Cfg[b].Terminator - functions.Cfg[b].First;
    return total;
}

// The code each candidate takes out of the programs, over both of its values and
// every key under which it can run.
std::vector<size_t> CodeTakenOut(const ProgramSpace& space,
                                 const std::vector<std::pair<size_t, ComputedCondition>>& candidates) {
    std::vector<size_t> gain(candidates.size(), 0);
    for (size_t c = 0; c < candidates.size(); ++c) {
        const size_t instruction = candidates[c].first;
        const uint32_t id = space.Shader.ResultOf(instruction);
        for (uint64_t base : space.BaseKeys) {
            KnownValues known = ValuesUnderKey(space.Shader, space.Replaced, base);
            std::vector<bool> live = ReachableBlocks(space.Shader, space.Code, known);
            if (!RunsIn(space.Code, live, {instruction}) || !Decidable(space, candidates[c].second, base)) continue;
            const size_t all = CodeSize(space.Code, live);
            for (bool value : {true, false}) {
                known[id] = value;
                gain[c] += all - CodeSize(space.Code, ReachableBlocks(space.Shader, space.Code, known));
            }
        }
    }
    return gain;
}

}  // namespace

ComputedConditions ChooseComputedConditions(const ProgramSpace& space,
                                            const std::vector<std::pair<size_t, ComputedCondition>>& candidates) {
    ComputedConditions result;
    std::vector<size_t> gain = CodeTakenOut(space, candidates);
    std::vector<size_t> order(candidates.size());
    for (size_t c = 0; c < order.size(); ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return gain[a] > gain[b]; });
    if (space.ScalarCount + candidates.size() > 62) return result;
    std::vector<std::vector<size_t>> at;
    std::vector<const ComputedCondition*> conditions;
    for (size_t c : order) {
        const auto& [instruction, condition] = candidates[c];
        if (!gain[c]) continue;
        auto same = std::find(result.Conditions.begin(), result.Conditions.end(), condition);
        if (same != result.Conditions.end()) {
            result.At[same - result.Conditions.begin()].push_back(instruction);
            continue;
        }
        at = result.At;
        at.push_back({instruction});
        conditions.push_back(&condition);
        if (!ProgramTree(space, at, conditions)) {
            conditions.pop_back();
            continue;
        }
        result.Conditions.push_back(condition);
        result.At = at;
    }
    return result;
}

std::vector<uint32_t> RewriteModule(const Module& module, const Replacements& replaced, size_t scalarCount,
                                    size_t computedCount) {
    const std::span<const uint32_t> spirv = module.Words;
    const uint32_t generalId = static_cast<uint32_t>(scalarCount + computedCount);
    uint32_t bound = spirv[3];
    std::vector<uint32_t> globals, decorations;
    std::vector<uint32_t> constantIds;
    const uint32_t boolType = module.Word(module.Instructions[replaced.front().first], 1);
    for (uint32_t id = 0; id <= generalId + computedCount; ++id) {
        uint32_t resultId = bound++;
        constantIds.push_back(resultId);
        globals.insert(globals.end(), {(3u << 16) | spv::OpSpecConstantFalse, boolType, resultId});
        decorations.insert(decorations.end(), {(4u << 16) | spv::OpDecorate, resultId, spv::DecorationSpecId, id});
    }
    std::unordered_map<size_t, uint32_t> replacedAt(replaced.begin(), replaced.end());
    std::vector<uint32_t> out(spirv.begin(), spirv.begin() + 5);
    for (size_t i = 0; i < module.Instructions.size(); ++i) {
        const Instruction& in = module.Instructions[i];
        auto word = [&](size_t k) { return module.Word(in, k); };
        if (i == module.AfterAnnotations) out.insert(out.end(), decorations.begin(), decorations.end());
        if (i == module.FirstFunction) out.insert(out.end(), globals.begin(), globals.end());
        auto r = replacedAt.find(i);
        if (r == replacedAt.end()) {
            out.insert(out.end(), spirv.begin() + in.At, spirv.begin() + in.At + in.Count);
            continue;
        }
        uint32_t comparison = bound++;
        uint32_t choose = constantIds[r->second < scalarCount ? generalId : generalId + 1 + (r->second - scalarCount)];
        out.insert(out.end(), {spirv[in.At], word(1), comparison, word(3), word(4)});
        out.insert(out.end(), {(6u << 16) | spv::OpSelect, word(1), word(2), choose, comparison, constantIds[r->second]});
    }
    out[3] = bound;
    return out;
}

}  // namespace specialize

Specialization SpecializeUniformConditions(std::vector<uint32_t>& spirv, size_t maxVariants) {
    using namespace specialize;
    const std::optional<Module> module = ReadModule(spirv);
    if (!module) return {};
    const Functions functions = FollowBufferValues(*module);
    const std::unordered_set<uint32_t> deciding = DecidingValues(*module, functions);
    ScalarConditions scalars = ChooseScalarConditions(*module, functions, deciding, maxVariants);
    const ProgramSpace space = MakeProgramSpace(*module, functions, scalars.Conditions, scalars.Replaced, maxVariants);
    ComputedConditions computed =
        ChooseComputedConditions(space, ComputedCandidates(*module, functions, deciding, scalars.Replaced));
    if (scalars.Conditions.empty() && computed.Conditions.empty()) return {};

    Specialization result;
    std::vector<const ComputedCondition*> conditions;
    for (const ComputedCondition& c : computed.Conditions) conditions.push_back(&c);
    result.Variants = *ProgramTree(space, computed.At, conditions);
    Replacements replaced = scalars.Replaced;
    for (size_t k = 0; k < computed.At.size(); ++k)
        for (size_t instruction : computed.At[k]) replaced.emplace_back(instruction, static_cast<uint32_t>(space.ScalarCount + k));
    std::vector<uint32_t> rewritten = RewriteModule(*module, replaced, space.ScalarCount, computed.Conditions.size());
    result.Conditions = std::move(scalars.Conditions);
    result.Computed = std::move(computed.Conditions);
    spirv = std::move(rewritten);
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
