#include "render/shader_variants_gl.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "host/errors.h"
#include "render/worker_contexts_gl.h"

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

// Held shared by every warm-up draw, exclusively by AwaitWarmUpDraws.
std::shared_mutex warmUpDraws;

// Draws one pixel with the program and the bindings on the worker's context: the
// driver compiles the program's machine code for this state.
void DrawOnce(GLuint program, const DrawBindings& bindings) {
    std::shared_lock drawing(warmUpDraws);
    GLint pipeline = 0;
    glGetIntegerv(GL_PROGRAM_PIPELINE_BINDING, &pipeline);
    glUseProgramStages(static_cast<GLuint>(pipeline), GL_VERTEX_SHADER_BIT, bindings.VertexProgram);
    glUseProgramStages(static_cast<GLuint>(pipeline), GL_FRAGMENT_SHADER_BIT, program);
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
}

}  // namespace

void AwaitWarmUpDraws() { std::unique_lock wait(warmUpDraws); }

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

size_t ShaderVariants::VariantCount() const { return variants_.size(); }

// The GLSL with its specialisation constants set (condition i to bit i of the key,
// where the key fixes it; a computed condition it does not fix keeps its
// comparison), or, without a key, the general program, which computes every
// condition itself.
uint32_t ShaderVariants::Link(const VariantKey* key) const {
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
    std::string source = line == std::string::npos
                             ? defines + glsl_
                             : glsl_.substr(0, line + 1) + defines + glsl_.substr(line + 1);
    return LinkSeparableProgram(GL_FRAGMENT_SHADER, source, what_);
}

uint32_t ShaderVariants::Select(const ReadScalar& read, const ReadTextureSize& size, const DrawBindings& bindings) {
    const std::vector<UniformCondition>& conditions = specialization_.Conditions;
    const size_t scalars = conditions.size();
    uint64_t key = 0;
    bool decided = true;
    for (size_t i = 0; i < scalars && decided; ++i) {
        std::optional<bool> holds = EvaluateCondition(conditions[i], read(conditions[i].Binding, conditions[i].Offset));
        if (!holds)
            decided = false;
        else if (*holds)
            key |= uint64_t(1) << i;
    }
    if (!decided) {
        if (!general_) {
            general_ = std::make_shared<Variant>();
            general_->Program = Link(nullptr);
        }
        return general_->Program;
    }
    // The computed conditions, each evaluated once when a variant needs it.
    std::vector<std::optional<std::optional<bool>>> computed(specialization_.Computed.size());
    auto value = [&](size_t k) {
        if (!computed[k]) computed[k] = EvaluateComputed(specialization_.Computed[k], read, size);
        return *computed[k];
    };
    const uint64_t scalarMask = scalars >= 64 ? ~uint64_t(0) : (uint64_t(1) << scalars) - 1;
    std::shared_ptr<Variant> best;
    for (const auto& candidate : variants_) {
        const VariantKey& k = candidate->Key;
        if ((k.Mask & scalarMask) != scalarMask || (k.Bits & scalarMask) != key) continue;
        if (best && std::popcount(k.Mask) <= std::popcount(best->Key.Mask)) continue;
        bool matches = true;
        for (size_t c = 0; c < computed.size() && matches; ++c) {
            if (!(k.Mask >> (scalars + c) & 1)) continue;
            std::optional<bool> holds = value(c);
            matches = holds && *holds == bool(k.Bits >> (scalars + c) & 1);
        }
        if (matches) best = candidate;
    }
    if (!best) {  // not among the reachable ones: cannot happen, but stays correct
        best = std::make_shared<Variant>();
        best->Key = {key, scalarMask};
        best->Program = Link(&best->Key);
        variants_.push_back(best);
    }
    Variant& variant = *best;
    if (!preparedOnce_ || !(bindings == prepared_)) Prepare(variant, bindings);
    // A variant queued on a worker is drawn here instead; one being compiled there
    // is waited for.
    std::unique_lock lock(variant.Mutex);
    if (variant.Warmth == Variant::State::Queued) variant.Warmth = Variant::State::Ready;
    variant.Compiled.wait(lock, [&] { return variant.Warmth != Variant::State::Compiling; });
    variant.Warmth = Variant::State::Ready;
    return variant.Program;
}

void ShaderVariants::Prepare(const Variant& current, const DrawBindings& bindings) {
    prepared_ = bindings;
    preparedOnce_ = true;
    if (variants_.size() < 2) return;
    if (!workers_) workers_ = SharedWorkers();
    if (workers_->Empty()) return;
    // The variants that come next first.
    size_t start = 0;
    while (variants_[start].get() != &current) ++start;
    for (size_t n = 1; n < variants_.size(); ++n) {
        std::shared_ptr<Variant> variant = variants_[(start + n) % variants_.size()];
        {
            std::lock_guard lock(variant->Mutex);
            if (variant->Warmth == Variant::State::Compiling) continue;
            variant->Warmth = Variant::State::Queued;
        }
        workers_->Post([variant, bindings] {
            {
                std::lock_guard lock(variant->Mutex);
                if (variant->Warmth != Variant::State::Queued) return;
                variant->Warmth = Variant::State::Compiling;
            }
            DrawOnce(variant->Program, bindings);
            {
                std::lock_guard lock(variant->Mutex);
                variant->Warmth = Variant::State::Ready;
            }
            variant->Compiled.notify_all();
        });
    }
}

}  // namespace velk::gpu
