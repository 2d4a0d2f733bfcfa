#include "render/shader_variants_gl.h"

#include <SDL.h>
#include <epoxy/gl.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <thread>

#include "host/errors.h"

namespace velk::gpu {

namespace {

[[noreturn]] void Fail(const char* what, const std::string& reason) {
    constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
    ThrowIfFailed(E_FAIL, what, reason);
    throw ComException(std::string(what) + " failed", E_FAIL);
}

GLuint LinkFragmentProgram(const std::string& glsl, const char* what) {
    const char* source = glsl.c_str();
    GLuint name = glCreateShaderProgramv(GL_FRAGMENT_SHADER, 1, &source);
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

}  // namespace

// Threads with GL contexts shared with the main one, each running posted jobs with
// its context current and a one-pixel target of the main targets' format bound.
class WorkerContexts {
public:
    // Needs the main context current on the calling thread; leaves it current.
    explicit WorkerContexts(size_t count) {
        SDL_Window* mainWindow = SDL_GL_GetCurrentWindow();
        SDL_GLContext mainContext = SDL_GL_GetCurrentContext();
        if (!mainWindow || !mainContext) return;
        for (size_t i = 0; i < count; ++i) {
            SDL_Window* window = SDL_CreateWindow("gpu worker", 0, 0, 16, 16, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
            if (!window) break;
            SDL_GL_SetAttribute(SDL_GL_SHARE_WITH_CURRENT_CONTEXT, 1);
            SDL_GLContext context = SDL_GL_CreateContext(window);
            SDL_GL_SetAttribute(SDL_GL_SHARE_WITH_CURRENT_CONTEXT, 0);
            SDL_GL_MakeCurrent(mainWindow, mainContext);
            if (!context) {
                SDL_DestroyWindow(window);
                break;
            }
            workers_.push_back({window, context, {}});
        }
        // Each thread makes its context current while this one waits, so that no two
        // threads talk to the display at once.
        for (Worker& worker : workers_) {
            std::promise<void> ready;
            auto started = ready.get_future();
            worker.Thread = std::thread([this, &worker, &ready] { Run(worker, ready); });
            started.wait();
        }
    }

    ~WorkerContexts() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (Worker& worker : workers_) {
            if (worker.Thread.joinable()) worker.Thread.join();
            SDL_GL_DeleteContext(worker.Context);
            SDL_DestroyWindow(worker.Window);
        }
    }

    bool Empty() const { return workers_.empty(); }

    void Post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }

private:
    struct Worker {
        SDL_Window* Window;
        SDL_GLContext Context;
        std::thread Thread;
    };

    void Run(Worker& worker, std::promise<void>& ready) {
        SDL_GL_MakeCurrent(worker.Window, worker.Context);
        glDisable(GL_FRAMEBUFFER_SRGB);
        glDisable(GL_DITHER);
        GLuint pipeline = 0, vertexArray = 0, target = 0, framebuffer = 0;
        glCreateProgramPipelines(1, &pipeline);
        glCreateVertexArrays(1, &vertexArray);
        glCreateTextures(GL_TEXTURE_2D, 1, &target);
        glTextureStorage2D(target, 1, GL_RGBA8, 1, 1);
        glCreateFramebuffers(1, &framebuffer);
        glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, target, 0);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
        glViewport(0, 0, 1, 1);
        glBindVertexArray(vertexArray);
        glBindProgramPipeline(pipeline);
        ready.set_value();
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
                if (stop_) break;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteTextures(1, &target);
        glDeleteVertexArrays(1, &vertexArray);
        glDeleteProgramPipelines(1, &pipeline);
        glFinish();
        SDL_GL_MakeCurrent(worker.Window, nullptr);
    }

    std::vector<Worker> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
};

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

// Draws one pixel with the program and the bindings on the worker's context: the
// driver compiles the program's machine code for this state.
void DrawOnce(GLuint program, const DrawBindings& bindings) {
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

struct ShaderVariants::Variant {
    uint64_t Key = 0;
    GLuint Program = 0;
    enum class State { Cold, Queued, Compiling, Ready } Warmth = State::Cold;
    std::mutex Mutex;
    std::condition_variable Compiled;
};

ShaderVariants::ShaderVariants(std::string glsl, std::vector<UniformCondition> conditions, const char* what)
    : glsl_(std::move(glsl)), conditions_(std::move(conditions)), what_(what) {
    auto keys = ReachableKeys(conditions_, std::numeric_limits<size_t>::max());
    try {
        if (keys)
            for (uint64_t key : *keys) {
                auto variant = std::make_shared<Variant>();
                variant->Key = key;
                std::vector<bool> bits;
                for (size_t i = 0; i < conditions_.size(); ++i) bits.push_back(key >> i & 1);
                variant->Program = Link(&bits);
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

// The GLSL with its specialisation constants set (condition i to bit i of the key),
// or, without a key, the general program, which computes every condition itself.
uint32_t ShaderVariants::Link(const std::vector<bool>* key) const {
    std::string defines;
    auto define = [&](size_t id) { defines += "#define SPIRV_CROSS_CONSTANT_ID_" + std::to_string(id) + " true\n"; };
    if (!key)
        define(conditions_.size());
    else
        for (size_t i = 0; i < key->size(); ++i)
            if ((*key)[i]) define(i);
    size_t line = glsl_.find('\n');
    std::string source = line == std::string::npos
                             ? defines + glsl_
                             : glsl_.substr(0, line + 1) + defines + glsl_.substr(line + 1);
    return LinkFragmentProgram(source, what_);
}

uint32_t ShaderVariants::Select(const std::function<uint32_t(uint32_t, uint32_t)>& read,
                                const DrawBindings& bindings) {
    uint64_t key = 0;
    bool decided = true;
    for (size_t i = 0; i < conditions_.size() && decided; ++i) {
        std::optional<bool> holds = EvaluateCondition(conditions_[i], read(conditions_[i].Binding, conditions_[i].Offset));
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
    auto found = std::find_if(variants_.begin(), variants_.end(), [&](const auto& v) { return v->Key == key; });
    if (found == variants_.end()) {  // not among the reachable ones: cannot happen, but stays correct
        auto variant = std::make_shared<Variant>();
        variant->Key = key;
        std::vector<bool> bits;
        for (size_t i = 0; i < conditions_.size(); ++i) bits.push_back(key >> i & 1);
        variant->Program = Link(&bits);
        found = variants_.insert(variants_.end(), std::move(variant));
    }
    Variant& variant = **found;
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
