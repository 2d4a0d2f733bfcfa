// Worker threads with GL contexts of their own, shared with the main context
// (OpenGL layer): they compile shader variants ahead of their use and read textures
// back while the main thread goes on drawing. Each thread runs the jobs posted to
// its pool in order, with its context current, a one-pixel RGBA8 target bound (as
// the main targets' format), an empty vertex array and a program pipeline bound.
// Synchronising with the main context is the caller's business (a fence, or a job
// that only needs the shared objects to exist).
//
// GL names cross this header as plain integers; only the GL layer uses it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velk::gpu {

class WorkerContexts {
public:
    // Needs the main context current on the calling thread, and leaves it current.
    // Makes up to `count` threads; none when the platform gives no shared context.
    explicit WorkerContexts(size_t count);
    // Runs the jobs already posted, then ends the threads and their contexts.
    ~WorkerContexts();
    WorkerContexts(const WorkerContexts&) = delete;
    WorkerContexts& operator=(const WorkerContexts&) = delete;

    bool Empty() const { return workers_.empty(); }
    // Runs the job on one of the threads.
    void Post(std::function<void()> job);

private:
    struct Worker {
        void* Window;
        void* Context;
        std::thread Thread;
    };
    void Run(Worker& worker);

    std::vector<Worker> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, started_;
    std::deque<std::function<void()>> jobs_;
    size_t running_ = 0;
    bool stop_ = false;
};

}  // namespace velk::gpu
