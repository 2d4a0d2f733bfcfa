#include "render/gl/shader_variants_gl.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "host/errors.h"
#include "render/gl/worker_contexts_gl.h"

namespace velk::gpu {

namespace {

[[noreturn]] void Fail(const char* what, const std::string& reason) {
    constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
    ThrowIfFailed(E_FAIL, what, reason);
    throw ComException(std::string(what) + " failed", E_FAIL);
}

}  // namespace

uint32_t LinkSeparableProgram(uint32_t stage, const std::string& glsl, const char* what) {
    const char* source = glsl.c_str();
    GLuint name = glCreateShaderProgramv(stage, 1, &source);
    GLint linked = 0;
    glGetProgramiv(name, GL_LINK_STATUS, &linked);
    if (!linked) {
        GLint length = 0;
        glGetProgramiv(name, GL_INFO_LOG_LENGTH, &length);
        std::string log(static_cast<size_t>(std::max(length, 1)), '\0');
        glGetProgramInfoLog(name, length, nullptr, log.data());
        glDeleteProgram(name);
        Fail(what, log.c_str());
    }
    return name;
}

namespace {

// One set of worker contexts for the process, made on first need, while shaders
// hold it.
std::shared_ptr<WorkerContexts> SharedWorkers() {
    static std::weak_ptr<WorkerContexts> existing;
    if (auto workers = existing.lock()) return workers;
    size_t cores = std::max(1u, std::thread::hardware_concurrency());
    auto workers = std::make_shared<WorkerContexts>(std::clamp<size_t>(cores / 2, 1, 4));
    existing = workers;
    return workers;
}

// SPIR-V's OpFOrdEqual: the float comparisons follow it.
constexpr uint32_t kFirstFloatComparison = 180;

// A warm-up draw posted to the workers: what it binds, and whether it has started
// or was dropped because one of those objects is going away.
struct WarmUp {
    DrawBindings Bindings;
    bool Running = false;
    bool Dropped = false;
};

bool Binds(const DrawBindings& bindings, BoundObject kind, uint32_t name) {
    switch (kind) {
        case BoundObject::Buffer:
            return std::any_of(bindings.UniformBuffers.begin(), bindings.UniformBuffers.end(),
                               [&](const auto& b) { return b.second == name; });
        case BoundObject::Texture:
        case BoundObject::Sampler:
            return std::any_of(bindings.TextureUnits.begin(), bindings.TextureUnits.end(), [&](const auto& t) {
                return (kind == BoundObject::Texture ? std::get<1>(t) : std::get<2>(t)) == name;
            });
    }
    return false;
}

// The warm-up draws not yet finished, in the order posted.
std::mutex warmUpMutex;
std::condition_variable warmUpFinished;
std::vector<std::shared_ptr<WarmUp>> warmUps;

// Draws one pixel on the worker's context with programs of its own, linked here
// from the GLSL, and the bindings: the driver compiles the machine code for this
// state into its shader cache, from which the main context's draw with its own
// program takes it. The programs are the worker's alone and are deleted before the
// job ends: a program object drawn on two contexts has its compiled code made by
// one and used by the other, and Mesa's software rasterizer then leaves the main
// context on freed code once the program is deleted (a hot reload) or the worker
// context is destroyed.
void DrawOnce(const std::string& fragmentGlsl, const DrawBindings& bindings) {
    GLuint vertex = 0, fragment = 0;
    try {
        vertex = LinkSeparableProgram(GL_VERTEX_SHADER, bindings.VertexGlsl, "warm-up");
        fragment = LinkSeparableProgram(GL_FRAGMENT_SHADER, fragmentGlsl, "warm-up");
    } catch (const std::exception&) {
        // The main context linked the same text; a failure here only loses the warm-up.
        glDeleteProgram(vertex);
        return;
    }
    GLint pipeline = 0;
    glGetIntegerv(GL_PROGRAM_PIPELINE_BINDING, &pipeline);
    glUseProgramStages(static_cast<GLuint>(pipeline), GL_VERTEX_SHADER_BIT, vertex);
    glUseProgramStages(static_cast<GLuint>(pipeline), GL_FRAGMENT_SHADER_BIT, fragment);
    for (const auto& [binding, buffer] : bindings.UniformBuffers) glBindBufferBase(GL_UNIFORM_BUFFER, binding, buffer);
    for (const auto& [unit, texture, sampler] : bindings.TextureUnits) {
        glBindTextureUnit(unit, texture);
        glBindSampler(unit, sampler);
    }
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glFinish();
    // Hold nothing of the main context's objects between jobs.
    for (const auto& [unit, texture, sampler] : bindings.TextureUnits) {
        glBindTextureUnit(unit, 0);
        glBindSampler(unit, 0);
    }
    for (const auto& [binding, buffer] : bindings.UniformBuffers) glBindBufferBase(GL_UNIFORM_BUFFER, binding, 0);
    glUseProgramStages(static_cast<GLuint>(pipeline), GL_ALL_SHADER_BITS, 0);
    glDeleteProgram(fragment);
    glDeleteProgram(vertex);
    glFinish();
}

}  // namespace

void AwaitWarmUpDraws(BoundObject kind, uint32_t name) {
    std::unique_lock lock(warmUpMutex);
    for (const auto& warmUp : warmUps)
        if (!warmUp->Running && Binds(warmUp->Bindings, kind, name)) warmUp->Dropped = true;
    warmUpFinished.wait(lock, [&] {
        return std::none_of(warmUps.begin(), warmUps.end(), [&](const auto& warmUp) {
            return warmUp->Running && Binds(warmUp->Bindings, kind, name);
        });
    });
}

struct ShaderVariants::Variant {
    VariantKey Key;
    GLuint Program = 0;
    enum class State { Cold, Queued, Compiling, Ready } Warmth = State::Cold;
    std::mutex Mutex;
    std::condition_variable Compiled;
};

ShaderVariants::ShaderVariants(std::string glsl, Specialization specialization, const char* what)
    : glsl_(std::move(glsl)), specialization_(std::move(specialization)), what_(what) {
    try {
        for (const VariantKey& key : specialization_.Variants) {
            auto variant = std::make_shared<Variant>();
            variant->Key = key;
            variant->Program = Link(&key);
            variants_.push_back(std::move(variant));
        }
    } catch (...) {
        for (const auto& variant : variants_) glDeleteProgram(variant->Program);
        throw;
    }
}

ShaderVariants::~ShaderVariants() {
    // Jobs not started are dropped; running ones are waited for.
    for (const auto& variant : variants_) {
        std::unique_lock lock(variant->Mutex);
        if (variant->Warmth == Variant::State::Queued) variant->Warmth = Variant::State::Cold;
        variant->Compiled.wait(lock, [&] { return variant->Warmth != Variant::State::Compiling; });
    }
    for (const auto& variant : variants_) glDeleteProgram(variant->Program);
    if (general_) glDeleteProgram(general_->Program);
}

// The GLSL with its specialisation constants set (condition i to bit i of the key,
// where the key fixes it; a computed condition it does not fix keeps its
// comparison), or, without a key, the general program, which computes every
// condition itself.
std::string ShaderVariants::Source(const VariantKey* key) const {
    const size_t count = specialization_.Count(), scalars = specialization_.Conditions.size();
    std::string defines;
    auto define = [&](size_t id) { defines += "#define SPIRV_CROSS_CONSTANT_ID_" + std::to_string(id) + " true\n"; };
    if (!key) define(count);
    for (size_t i = 0; i < count; ++i) {
        bool fixed = key && key->Mask >> i & 1;
        if (fixed && key->Bits >> i & 1) define(i);
        if (!fixed && i >= scalars) define(count + 1 + (i - scalars));
    }
    size_t line = glsl_.find('\n');
    return line == std::string::npos ? defines + glsl_ : glsl_.substr(0, line + 1) + defines + glsl_.substr(line + 1);
}

uint32_t ShaderVariants::Link(const VariantKey* key) const {
    return LinkSeparableProgram(GL_FRAGMENT_SHADER, Source(key), what_);
}

ShaderVariants::Match ShaderVariants::Find(const ReadScalar& read, const ReadTextureSize& size) const {
    const std::vector<UniformCondition>& conditions = specialization_.Conditions;
    const size_t scalars = conditions.size();
    Match match;
    for (size_t i = 0; i < scalars; ++i) {
        std::optional<bool> holds = EvaluateCondition(conditions[i], read(conditions[i].Binding, conditions[i].Offset));
        if (!holds) return match;
        if (*holds) match.Key |= uint64_t(1) << i;
    }
    match.Decided = true;
    // The computed conditions, each evaluated once when a variant needs it.
    std::vector<std::optional<std::optional<bool>>> computed(specialization_.Computed.size());
    auto value = [&](size_t k) {
        if (!computed[k]) computed[k] = EvaluateComputed(specialization_.Computed[k], read, size);
        return *computed[k];
    };
    const uint64_t scalarMask = scalars >= 64 ? ~uint64_t(0) : (uint64_t(1) << scalars) - 1;
    for (const auto& candidate : variants_) {
        const VariantKey& k = candidate->Key;
        if ((k.Mask & scalarMask) != scalarMask || (k.Bits & scalarMask) != match.Key) continue;
        if (match.Best && std::popcount(k.Mask) <= std::popcount(match.Best->Key.Mask)) continue;
        bool matches = true;
        for (size_t c = 0; c < computed.size() && matches; ++c) {
            if (!(k.Mask >> (scalars + c) & 1)) continue;
            std::optional<bool> holds = value(c);
            matches = holds && *holds == bool(k.Bits >> (scalars + c) & 1);
        }
        if (matches) match.Best = candidate;
    }
    return match;
}

// The variant with the same values of the conditions on scalars that fixes no
// computed condition.
std::shared_ptr<ShaderVariants::Variant> ShaderVariants::FallbackOf(const Variant& variant) const {
    const size_t scalars = specialization_.Conditions.size();
    const uint64_t scalarMask = scalars >= 64 ? ~uint64_t(0) : (uint64_t(1) << scalars) - 1;
    for (const auto& candidate : variants_)
        if (candidate->Key.Mask == scalarMask && (candidate->Key.Bits & scalarMask) == (variant.Key.Bits & scalarMask))
            return candidate;
    return nullptr;
}

uint32_t ShaderVariants::Select(const ReadScalar& read, const ReadTextureSize& size, const DrawBindings& bindings) {
    Match match = Find(read, size);
    if (!match.Decided) {
        if (!general_) {
            general_ = std::make_shared<Variant>();
            general_->Program = Link(nullptr);
        }
        return general_->Program;
    }
    if (!match.Best) {  // not among the reachable ones: cannot happen, but stays correct
        const size_t scalars = specialization_.Conditions.size();
        match.Best = std::make_shared<Variant>();
        match.Best->Key = {match.Key, scalars >= 64 ? ~uint64_t(0) : (uint64_t(1) << scalars) - 1};
        match.Best->Program = Link(&match.Best->Key);
        variants_.push_back(match.Best);
    }
    if (!preparedOnce_ || !(bindings == prepared_)) Prepare(*match.Best, bindings, read, size);
    // A variant that fixes computed conditions and is still waiting for a worker
    // or being compiled there: the draw takes its fallback, which computes them,
    // when that one is ready, instead of waiting.
    std::shared_ptr<Variant> use = match.Best;
    if (std::shared_ptr<Variant> fallback = FallbackOf(*use); fallback && fallback != use) {
        bool pending = false;
        {
            std::lock_guard lock(use->Mutex);
            pending = use->Warmth == Variant::State::Queued || use->Warmth == Variant::State::Compiling;
        }
        std::lock_guard lock(fallback->Mutex);
        if (pending && fallback->Warmth == Variant::State::Ready) return fallback->Program;
    }
    Variant& variant = *use;
    // A variant queued on a worker is drawn here instead; one being compiled there
    // is waited for.
    std::unique_lock lock(variant.Mutex);
    if (variant.Warmth == Variant::State::Queued) variant.Warmth = Variant::State::Ready;
    variant.Compiled.wait(lock, [&] { return variant.Warmth != Variant::State::Compiling; });
    variant.Warmth = Variant::State::Ready;
    return variant.Program;
}

// The variants a draw will take as each scalar that the conditions compare runs
// over its range (the span of its constants, widened by that span on both sides,
// in 1024 steps; the other scalars as they are now), in the order met as it grows,
// each followed by its fallback; without computed conditions, every variant. The
// ones after the current first.
std::vector<std::shared_ptr<ShaderVariants::Variant>> ShaderVariants::Expected(const Variant& current,
                                                                              const ReadScalar& read,
                                                                              const ReadTextureSize& size) const {
    std::vector<std::shared_ptr<Variant>> order;
    auto add = [&](const std::shared_ptr<Variant>& v) {
        if (v && std::find(order.begin(), order.end(), v) == order.end()) order.push_back(v);
    };
    if (specialization_.Computed.empty()) {
        order = variants_;
    } else {
        std::map<std::pair<uint32_t, uint32_t>, std::pair<float, float>> spans;
        for (const UniformCondition& c : specialization_.Conditions) {
            if (c.Op < kFirstFloatComparison) continue;
            const float v = std::bit_cast<float>(c.Constant);
            if (!std::isfinite(v)) continue;
            auto [at, fresh] = spans.try_emplace({c.Binding, c.Offset}, v, v);
            at->second = {std::min(at->second.first, v), std::max(at->second.second, v)};
        }
        constexpr int kSteps = 1024;
        for (const auto& entry : spans) {
            const uint32_t scalarBinding = entry.first.first, scalarOffset = entry.first.second;
            const std::pair<float, float> span = entry.second;
            const float width = span.second - span.first + 1.0f;
            const float from = span.first - width, to = span.second + width;
            for (int i = 0; i <= kSteps; ++i) {
                const float v = from + (to - from) * static_cast<float>(i) / kSteps;
                auto moved = [&](uint32_t binding, uint32_t offset) {
                    return binding == scalarBinding && offset == scalarOffset ? std::bit_cast<uint32_t>(v)
                                                                              : read(binding, offset);
                };
                Match match = Find(moved, size);
                if (!match.Best) continue;
                add(match.Best);
                add(FallbackOf(*match.Best));
            }
        }
        for (const auto& v : variants_)
            if (v.get() == &current) add(v);
        for (const auto& v : variants_)
            if (FallbackOf(*v) == v) add(v);
    }
    size_t start = 0;
    while (start < order.size() && order[start].get() != &current) ++start;
    if (start < order.size()) std::rotate(order.begin(), order.begin() + start, order.end());
    return order;
}

void ShaderVariants::Prepare(const Variant& current, const DrawBindings& bindings, const ReadScalar& read,
                             const ReadTextureSize& size) {
    prepared_ = bindings;
    preparedOnce_ = true;
    if (variants_.size() < 2) return;
    if (!workers_) workers_ = SharedWorkers();
    if (workers_->Empty()) return;
    for (const std::shared_ptr<Variant>& variant : Expected(current, read, size)) {
        if (variant.get() == &current) continue;
        {
            std::lock_guard lock(variant->Mutex);
            if (variant->Warmth == Variant::State::Compiling) continue;
            variant->Warmth = Variant::State::Queued;
        }
        auto warmUp = std::make_shared<WarmUp>();
        warmUp->Bindings = bindings;
        {
            std::lock_guard lock(warmUpMutex);
            warmUps.push_back(warmUp);
        }
        workers_->Post([variant, warmUp, source = Source(&variant->Key)] {
            auto finish = [&] {
                {
                    std::lock_guard lock(warmUpMutex);
                    warmUps.erase(std::find(warmUps.begin(), warmUps.end(), warmUp));
                }
                warmUpFinished.notify_all();
            };
            {
                std::scoped_lock lock(variant->Mutex, warmUpMutex);
                const bool start = variant->Warmth == Variant::State::Queued && !warmUp->Dropped;
                if (variant->Warmth == Variant::State::Queued)
                    variant->Warmth = start ? Variant::State::Compiling : Variant::State::Cold;
                warmUp->Running = start;
            }
            if (!warmUp->Running) {
                finish();
                return;
            }
            DrawOnce(source, warmUp->Bindings);
            {
                std::lock_guard lock(variant->Mutex);
                variant->Warmth = Variant::State::Ready;
            }
            variant->Compiled.notify_all();
            finish();
        });
    }
}

}  // namespace velk::gpu
