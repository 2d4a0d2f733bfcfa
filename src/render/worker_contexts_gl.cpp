#include "render/worker_contexts_gl.h"

#include <SDL.h>
#include <epoxy/gl.h>

namespace velk::gpu {

WorkerContexts::WorkerContexts(size_t count) {
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
        worker.Thread = std::thread([this, &worker] { Run(worker); });
        std::unique_lock lock(mutex_);
        started_.wait(lock, [&] { return running_ == static_cast<size_t>(&worker - workers_.data()) + 1; });
    }
}

WorkerContexts::~WorkerContexts() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (Worker& worker : workers_)
        if (worker.Thread.joinable()) worker.Thread.join();
    for (Worker& worker : workers_) {
        SDL_GL_DeleteContext(static_cast<SDL_GLContext>(worker.Context));
        SDL_DestroyWindow(static_cast<SDL_Window*>(worker.Window));
    }
}

void WorkerContexts::Post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void WorkerContexts::Run(Worker& worker) {
    SDL_GL_MakeCurrent(static_cast<SDL_Window*>(worker.Window), static_cast<SDL_GLContext>(worker.Context));
    // The main context's state at its draws (gpu_gl.cpp), so that a draw here makes
    // the driver compile what a draw there will use.
    glDisable(GL_FRAMEBUFFER_SRGB);
    glDisable(GL_DITHER);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glFrontFace(GL_CCW);
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
    {
        std::lock_guard lock(mutex_);
        ++running_;
    }
    started_.notify_all();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty()) break;
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
    SDL_GL_MakeCurrent(static_cast<SDL_Window*>(worker.Window), nullptr);
    // SDL keeps the current context per thread; a thread it did not make must free
    // that itself.
    SDL_TLSCleanup();
}

}  // namespace velk::gpu
