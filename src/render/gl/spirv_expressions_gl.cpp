// Evaluation of computed branch conditions (spirv_specialize_gl.h) on the CPU.
//
// The GPU computes the condition in 32-bit floats, and its compiler may contract a
// multiply and an add into one operation, reassociate sums and products with
// constants, or divide by multiplying with a reciprocal. So each value is kept as a
// range that holds every result such a computation can give: each float operation
// widens its range by more than those differences (2^-22 of the magnitude of its
// operands and result: two to four units in the last place), except where
// every operand and the result are short binary numbers (1, 3, 0.5, ...), which any
// of those ways computes exactly. A comparison is decided only when its ranges do
// not overlap; otherwise the condition has no sure value and the draw keeps the
// comparison.
#include <glslang/SPIRV/GLSL.std.450.h>
#include <glslang/SPIRV/spirv.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "render/gl/spirv_specialize_gl.h"

namespace velk::gpu {

namespace {

constexpr double kRelativeSlack = 0x1p-22;
constexpr double kAbsoluteSlack = 0x1p-125;  // a result flushed from subnormal to zero

enum ComponentKind : uint32_t { kFloat = 0, kSigned = 1, kUnsigned = 2, kBool = 3 };

// A component's possible values: [Lo, Hi]; bools as 0 and 1. Unknown when any value
// (NaN, an infinity, an undefined value) is possible.
struct Range {
    double Lo = 0, Hi = 0;
    bool Known = false;

    bool Point() const { return Known && Lo == Hi; }
};

struct Value {
    std::array<Range, 4> C{};
    uint32_t Count = 0;
    uint32_t Kind = kFloat;
};

Range Unknown() { return {}; }
Range Exactly(double v) { return {v, v, true}; }
Range Between(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi) || lo > hi) return Unknown();
    return {lo, hi, true};
}
Range Maybe() { return {0, 1, true}; }  // a bool that may be either

// A float with a short significand (at most 12 bits) in a moderate exponent range.
bool Short(double v) {
    if (v == 0) return true;
    if (static_cast<double>(static_cast<float>(v)) != v) return false;
    int exponent = 0;
    double m = std::frexp(v, &exponent);
    double scaled = std::ldexp(m, 12);
    return scaled == std::trunc(scaled) && exponent > -60 && exponent < 60;
}

// The range of a float operation's results whose exact values lie in [lo, hi].
Range Rounded(double lo, double hi, double operandMagnitude, bool exact) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return Unknown();
    if (exact && lo == hi && Short(lo)) return Exactly(lo);
    double magnitude = std::max({operandMagnitude, std::fabs(lo), std::fabs(hi)});
    if (magnitude > 0x1p126) return Unknown();
    double slack = magnitude * kRelativeSlack + kAbsoluteSlack;
    return Between(lo - slack, hi + slack);
}

bool AllShortPoints(std::initializer_list<Range> ranges) {
    for (const Range& r : ranges)
        if (!r.Point() || !Short(r.Lo)) return false;
    return true;
}

double Magnitude(std::initializer_list<Range> ranges) {
    double m = 0;
    for (const Range& r : ranges) m = std::max({m, std::fabs(r.Lo), std::fabs(r.Hi)});
    return m;
}

Range Add(Range a, Range b) {
    if (!a.Known || !b.Known) return Unknown();
    return Rounded(a.Lo + b.Lo, a.Hi + b.Hi, Magnitude({a, b}), AllShortPoints({a, b}));
}
Range Negate(Range a) { return a.Known ? Range{-a.Hi, -a.Lo, true} : Unknown(); }
Range Sub(Range a, Range b) { return Add(a, Negate(b)); }

std::pair<double, double> ProductBounds(Range a, Range b) {
    double p[] = {a.Lo * b.Lo, a.Lo * b.Hi, a.Hi * b.Lo, a.Hi * b.Hi};
    return {*std::min_element(p, p + 4), *std::max_element(p, p + 4)};
}
Range Mul(Range a, Range b) {
    if (!a.Known || !b.Known) return Unknown();
    auto [lo, hi] = ProductBounds(a, b);
    return Rounded(lo, hi, 0, AllShortPoints({a, b}));
}
Range Fma(Range a, Range b, Range c) {
    if (!a.Known || !b.Known || !c.Known) return Unknown();
    auto [lo, hi] = ProductBounds(a, b);
    return Rounded(lo + c.Lo, hi + c.Hi, std::max({std::fabs(lo), std::fabs(hi), Magnitude({c})}),
                   AllShortPoints({a, b, c}) && Short(lo));
}
Range Div(Range a, Range b) {
    if (!a.Known || !b.Known || (b.Lo <= 0 && b.Hi >= 0)) return Unknown();
    double q[] = {a.Lo / b.Lo, a.Lo / b.Hi, a.Hi / b.Lo, a.Hi / b.Hi};
    int exponent = 0;
    // A division by a power of two is exact even through a reciprocal.
    bool exact = AllShortPoints({a, b}) && std::frexp(b.Lo, &exponent) == 0.5;
    return Rounded(*std::min_element(q, q + 4), *std::max_element(q, q + 4), 0, exact);
}
Range Min(Range a, Range b) {
    if (!a.Known || !b.Known) return Unknown();
    return {std::min(a.Lo, b.Lo), std::min(a.Hi, b.Hi), true};
}
Range Max(Range a, Range b) {
    if (!a.Known || !b.Known) return Unknown();
    return {std::max(a.Lo, b.Lo), std::max(a.Hi, b.Hi), true};
}
Range Abs(Range a) {
    if (!a.Known) return Unknown();
    if (a.Lo >= 0) return a;
    if (a.Hi <= 0) return Negate(a);
    return {0, std::max(-a.Lo, a.Hi), true};
}
template <class F>
Range Monotone(Range a, F f) {
    return a.Known ? Between(f(a.Lo), f(a.Hi)) : Unknown();
}

// smoothstep(e0, e1, x) = t * t * (3 - 2 t), t = clamp((x - e0) / (e1 - e0), 0, 1);
// rising in t, so its range is that of the ends of t's.
Range SmoothStep(Range e0, Range e1, Range x) {
    Range width = Sub(e1, e0);
    if (!width.Known || width.Lo <= 0) return Unknown();  // undefined for e0 >= e1
    Range t = Min(Max(Div(Sub(x, e0), width), Exactly(0)), Exactly(1));
    if (!t.Known) return Unknown();
    auto polynomial = [](double v) {
        Range p = Exactly(v);
        return Mul(Mul(p, p), Sub(Exactly(3), Mul(Exactly(2), p)));
    };
    Range lo = polynomial(t.Lo), hi = polynomial(t.Hi);
    if (!lo.Known || !hi.Known) return Unknown();
    return {lo.Lo, hi.Hi, true};
}

// Integer results: exact, unknown beyond 32 bits.
Range IntegerResult(double lo, double hi, uint32_t kind) {
    double min = kind == kSigned ? -0x1p31 : 0, max = kind == kSigned ? 0x1p31 - 1 : 0x1p32 - 1;
    if (!(lo >= min && hi <= max)) return Unknown();
    return {lo, hi, true};
}

// A comparison: true, false, or either.
Range Compare(uint32_t op, Range a, Range b) {
    if (!a.Known || !b.Known) return Maybe();
    bool less = a.Hi < b.Lo, greater = a.Lo > b.Hi;
    bool equal = a.Point() && b.Point() && a.Lo == b.Lo;
    bool apart = less || greater;
    auto decide = [](bool yes, bool no) { return yes ? Exactly(1) : no ? Exactly(0) : Maybe(); };
    switch (op) {
        case spv::OpIEqual:
        case spv::OpFOrdEqual:
        case spv::OpFUnordEqual:
        case spv::OpLogicalEqual: return decide(equal, apart);
        case spv::OpINotEqual:
        case spv::OpFOrdNotEqual:
        case spv::OpFUnordNotEqual:
        case spv::OpLogicalNotEqual: return decide(apart, equal);
        case spv::OpSLessThan:
        case spv::OpULessThan:
        case spv::OpFOrdLessThan:
        case spv::OpFUnordLessThan: return decide(less, a.Lo >= b.Hi);
        case spv::OpSLessThanEqual:
        case spv::OpULessThanEqual:
        case spv::OpFOrdLessThanEqual:
        case spv::OpFUnordLessThanEqual: return decide(a.Hi <= b.Lo, greater);
        case spv::OpSGreaterThan:
        case spv::OpUGreaterThan:
        case spv::OpFOrdGreaterThan:
        case spv::OpFUnordGreaterThan: return decide(greater, a.Hi <= b.Lo);
        case spv::OpSGreaterThanEqual:
        case spv::OpUGreaterThanEqual:
        case spv::OpFOrdGreaterThanEqual:
        case spv::OpFUnordGreaterThanEqual: return decide(a.Lo >= b.Hi, less);
        default: return Maybe();
    }
}

// A constant or buffer value's bits as a component of the kind.
Range FromBits(uint32_t bits, uint32_t kind) {
    switch (kind) {
        case kFloat: {
            float f = std::bit_cast<float>(bits);
            if (!std::isfinite(f)) return Unknown();
            // A GPU may read a subnormal as zero.
            if (std::fpclassify(f) == FP_SUBNORMAL) return {std::min(0.0, double(f)), std::max(0.0, double(f)), true};
            return Exactly(f);
        }
        case kSigned: return Exactly(static_cast<int32_t>(bits));
        case kUnsigned: return Exactly(bits);
        default: return Exactly(bits != 0);
    }
}

// One step's evaluation: its arguments (earlier steps' values) and the value it
// makes.
struct StepValue {
    const ExpressionStep& Step;
    const std::vector<Value>& Values;
    Value Out;

    size_t Argc() const { return Step.Args.size(); }
    const Value& Arg(size_t i) const { return Values[Step.Args[i]]; }
    // Component c of argument i; a scalar argument stands for every component.
    Range At(size_t i, uint32_t c) const {
        const Value& v = Arg(i);
        return v.Count == 1 ? v.C[0] : c < v.Count ? v.C[c] : Unknown();
    }
    template <class F>
    void Each(F f) {
        for (uint32_t c = 0; c < Out.Count; ++c) Out.C[c] = f(c);
    }
};

// Constants, undefined values, constant-buffer values and texture sizes. False
// where the step is malformed or its input is missing.
bool EvaluateLeaf(StepValue& e, const ReadScalar& read, const ReadTextureSize& size) {
    const ExpressionStep& step = e.Step;
    const uint32_t kind = e.Out.Kind;
    switch (step.Op) {
        case spv::OpConstant:
        case spv::OpConstantComposite:
            e.Each([&](uint32_t c) { return c < step.Literals.size() ? FromBits(step.Literals[c], kind) : Unknown(); });
            return true;
        case spv::OpUndef: e.Each([](uint32_t) { return Unknown(); }); return true;
        case spv::OpLoad:
            if (step.Literals.size() != 2) return false;
            e.Each([&](uint32_t c) { return FromBits(read(step.Literals[0], step.Literals[1] + 4 * c), kind); });
            return true;
        default: {  // OpImageQuerySize, OpImageQuerySizeLod
            if (step.Literals.size() != 1) return false;
            uint32_t level = 0;
            if (step.Op == spv::OpImageQuerySizeLod) {
                if (e.Argc() != 1) return false;
                const Range& lod = e.Arg(0).C[0];
                if (!lod.Point() || lod.Lo < 0 || lod.Lo > 16 || lod.Lo != std::trunc(lod.Lo)) return false;
                level = static_cast<uint32_t>(lod.Lo);
            }
            auto wh = size(step.Literals[0], level);
            if (!wh) return false;
            e.Each([&](uint32_t c) { return c == 0 ? Exactly(wh->first) : c == 1 ? Exactly(wh->second) : Unknown(); });
            return true;
        }
    }
}

// Extraction, construction and shuffles of vectors.
bool EvaluateComposite(StepValue& e) {
    const ExpressionStep& step = e.Step;
    const size_t argc = e.Argc();
    switch (step.Op) {
        case spv::OpCompositeExtract:
            if (argc != 1 || step.Literals.size() != 1 || step.Literals[0] >= e.Arg(0).Count) return false;
            e.Out.C[0] = e.Arg(0).C[step.Literals[0]];
            return true;
        case spv::OpCompositeConstruct: {
            uint32_t c = 0;
            for (size_t i = 0; i < argc; ++i)
                for (uint32_t k = 0; k < e.Arg(i).Count && c < 4; ++k) e.Out.C[c++] = e.Arg(i).C[k];
            return true;
        }
        default:  // OpVectorShuffle
            if (argc != 2) return false;
            e.Each([&](uint32_t c) -> Range {
                if (c >= step.Literals.size()) return Unknown();
                uint32_t k = step.Literals[c];
                if (k < e.Arg(0).Count) return e.Arg(0).C[k];
                k -= e.Arg(0).Count;
                return k < e.Arg(1).Count ? e.Arg(1).C[k] : Unknown();
            });
            return true;
    }
}

// The GLSL.std.450 instructions a computed condition may use.
bool EvaluateExtended(StepValue& e) {
    auto at = [&](size_t i, uint32_t c) { return e.At(i, c); };
    switch (e.Step.Extended) {
        case GLSLstd450FAbs:
        case GLSLstd450SAbs: e.Each([&](uint32_t c) { return Abs(at(0, c)); }); return true;
        case GLSLstd450Floor: e.Each([&](uint32_t c) { return Monotone(at(0, c), [](double v) { return std::floor(v); }); }); return true;
        case GLSLstd450Ceil: e.Each([&](uint32_t c) { return Monotone(at(0, c), [](double v) { return std::ceil(v); }); }); return true;
        case GLSLstd450Trunc: e.Each([&](uint32_t c) { return Monotone(at(0, c), [](double v) { return std::trunc(v); }); }); return true;
        case GLSLstd450FMin:
        case GLSLstd450SMin:
        case GLSLstd450UMin: e.Each([&](uint32_t c) { return Min(at(0, c), at(1, c)); }); return true;
        case GLSLstd450FMax:
        case GLSLstd450SMax:
        case GLSLstd450UMax: e.Each([&](uint32_t c) { return Max(at(0, c), at(1, c)); }); return true;
        case GLSLstd450FClamp:
        case GLSLstd450SClamp:
        case GLSLstd450UClamp:
            e.Each([&](uint32_t c) {
                if (at(1, c).Known && at(2, c).Known && at(1, c).Hi > at(2, c).Lo) return Unknown();
                return Min(Max(at(0, c), at(1, c)), at(2, c));
            });
            return true;
        case GLSLstd450Step:
            e.Each([&](uint32_t c) {
                Range edge = at(0, c), x = at(1, c);
                if (!edge.Known || !x.Known) return Range{0, 1, true};
                return x.Hi < edge.Lo ? Exactly(0) : x.Lo >= edge.Hi ? Exactly(1) : Range{0, 1, true};
            });
            return true;
        case GLSLstd450SmoothStep: e.Each([&](uint32_t c) { return SmoothStep(at(0, c), at(1, c), at(2, c)); }); return true;
        case GLSLstd450Fma: e.Each([&](uint32_t c) { return Fma(at(0, c), at(1, c), at(2, c)); }); return true;
        default: return false;
    }
}

// Conversions, arithmetic, logic, selections and comparisons. False for any other
// instruction.
bool EvaluateOperation(StepValue& e) {
    const ExpressionStep& step = e.Step;
    const uint32_t kind = e.Out.Kind;
    auto at = [&](size_t i, uint32_t c) { return e.At(i, c); };
    switch (step.Op) {
        case spv::OpConvertSToF:
        case spv::OpConvertUToF:
            e.Each([&](uint32_t c) {
                Range v = at(0, c);
                if (!v.Known) return Unknown();
                return Rounded(v.Lo, v.Hi, 0, Short(v.Lo) && Short(v.Hi) && v.Lo == v.Hi);
            });
            return true;
        case spv::OpConvertFToS:
        case spv::OpConvertFToU:
            e.Each([&](uint32_t c) {
                Range v = at(0, c);
                return v.Known ? IntegerResult(std::trunc(v.Lo), std::trunc(v.Hi), kind) : Unknown();
            });
            return true;
        case spv::OpBitcast:  // between signed and unsigned: the same number when it fits both
            if (kind == kFloat || e.Arg(0).Kind == kFloat) return false;
            e.Each([&](uint32_t c) {
                Range v = at(0, c);
                return v.Known && v.Lo >= 0 && v.Hi < 0x1p31 ? v : Unknown();
            });
            return true;
        case spv::OpFNegate:
        case spv::OpSNegate:
            e.Each([&](uint32_t c) {
                Range v = Negate(at(0, c));
                return kind == kFloat || !v.Known ? v : IntegerResult(v.Lo, v.Hi, kind);
            });
            return true;
        case spv::OpFAdd: e.Each([&](uint32_t c) { return Add(at(0, c), at(1, c)); }); return true;
        case spv::OpFSub: e.Each([&](uint32_t c) { return Sub(at(0, c), at(1, c)); }); return true;
        case spv::OpFMul:
        case spv::OpVectorTimesScalar: e.Each([&](uint32_t c) { return Mul(at(0, c), at(1, c)); }); return true;
        case spv::OpFDiv: e.Each([&](uint32_t c) { return Div(at(0, c), at(1, c)); }); return true;
        case spv::OpIAdd:
        case spv::OpISub:
        case spv::OpIMul:
            e.Each([&](uint32_t c) {
                Range a = at(0, c), b = at(1, c);
                if (!a.Known || !b.Known) return Unknown();
                if (step.Op == spv::OpIAdd) return IntegerResult(a.Lo + b.Lo, a.Hi + b.Hi, kind);
                if (step.Op == spv::OpISub) return IntegerResult(a.Lo - b.Hi, a.Hi - b.Lo, kind);
                auto [lo, hi] = ProductBounds(a, b);
                return IntegerResult(lo, hi, kind);
            });
            return true;
        case spv::OpLogicalNot:
            e.Each([&](uint32_t c) { Range v = at(0, c); return Range{1 - v.Hi, 1 - v.Lo, true}; });
            return true;
        case spv::OpLogicalAnd:
            e.Each([&](uint32_t c) { return Range{std::min(at(0, c).Lo, at(1, c).Lo), std::min(at(0, c).Hi, at(1, c).Hi), true}; });
            return true;
        case spv::OpLogicalOr:
            e.Each([&](uint32_t c) { return Range{std::max(at(0, c).Lo, at(1, c).Lo), std::max(at(0, c).Hi, at(1, c).Hi), true}; });
            return true;
        case spv::OpSelect:
            if (e.Argc() != 3) return false;
            e.Each([&](uint32_t c) {
                Range choice = at(0, c), yes = at(1, c), no = at(2, c);
                if (choice.Point()) return choice.Lo != 0 ? yes : no;
                if (!yes.Known || !no.Known) return Unknown();
                return Range{std::min(yes.Lo, no.Lo), std::max(yes.Hi, no.Hi), true};
            });
            return true;
        default:
            if ((step.Op >= spv::OpIEqual && step.Op <= spv::OpFUnordGreaterThanEqual) ||
                step.Op == spv::OpLogicalEqual || step.Op == spv::OpLogicalNotEqual) {
                e.Each([&](uint32_t c) { return Compare(step.Op, at(0, c), at(1, c)); });
                return true;
            }
            return false;
    }
}

// The value a step makes from the earlier ones; none where the step is malformed or
// its input is missing.
std::optional<Value> EvaluateStep(const ExpressionStep& step, const std::vector<Value>& values, const ReadScalar& read,
                                  const ReadTextureSize& size) {
    for (uint32_t arg : step.Args)
        if (arg >= values.size()) return std::nullopt;
    StepValue e{step, values, {}};
    e.Out.Count = std::clamp<uint32_t>(step.Components, 1, 4);
    e.Out.Kind = step.Kind;
    bool made = false;
    switch (step.Op) {
        case spv::OpConstant:
        case spv::OpConstantComposite:
        case spv::OpUndef:
        case spv::OpLoad:
        case spv::OpImageQuerySize:
        case spv::OpImageQuerySizeLod: made = EvaluateLeaf(e, read, size); break;
        case spv::OpCompositeExtract:
        case spv::OpCompositeConstruct:
        case spv::OpVectorShuffle: made = EvaluateComposite(e); break;
        case spv::OpExtInst: made = EvaluateExtended(e); break;
        default: made = EvaluateOperation(e); break;
    }
    if (!made) return std::nullopt;
    return e.Out;
}

}  // namespace

std::optional<bool> EvaluateComputed(const ComputedCondition& condition, const ReadScalar& read,
                                     const ReadTextureSize& size) {
    std::vector<Value> values;
    values.reserve(condition.Steps.size());
    for (const ExpressionStep& step : condition.Steps) {
        std::optional<Value> value = EvaluateStep(step, values, read, size);
        if (!value) return std::nullopt;
        values.push_back(*value);
    }
    if (values.empty()) return std::nullopt;
    const Range& result = values.back().C[0];
    if (!result.Point()) return std::nullopt;
    return result.Lo != 0;
}

}  // namespace velk::gpu
