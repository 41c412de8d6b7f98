#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class NDIRx;

// A task that the audio thread starts once per block (a capture range, the
// video pass): a worker thread that lives as long as the handle, so that
// starting the task neither allocates nor creates a thread on the audio
// thread. Reads like a std::future: launch() replaces the running job (first
// waiting for it), wait() waits for it.
class BlockTask {
public:
    using Job = void (*)(void* context, std::size_t from, std::size_t to);

    BlockTask();
    // Waits for the running job, then ends the worker.
    ~BlockTask();
    BlockTask(BlockTask&& other) noexcept;
    BlockTask& operator=(BlockTask&& other) noexcept;
    BlockTask(const BlockTask&) = delete;
    BlockTask& operator=(const BlockTask&) = delete;

    // Waits for the previous job, then has the worker run job(context, from, to).
    void launch(Job job, void* context, std::size_t from, std::size_t to);
    // The worker runs (object.*Method)().
    template <auto Method, class Object> void launch(Object& object) {
        launch([](void* context, std::size_t, std::size_t) { (static_cast<Object*>(context)->*Method)(); }, &object, 0,
               0);
    }
    // Audio thread: the worker runs rx.captureRange(from, to).
    void launch(NDIRx& rx, std::size_t from, std::size_t to);

    // True when the handle has a worker (it is not a moved-from handle).
    bool valid() const { return _worker != nullptr; }
    // Waits until the worker has no job. Any thread.
    void wait() const;
    // Waits at most `timeout`; ready when the worker has no job.
    template <class Rep, class Period>
    std::future_status wait_for(const std::chrono::duration<Rep, Period>& timeout) const {
        return waitFor(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
    }

private:
    struct Worker;

    std::future_status waitFor(std::chrono::nanoseconds timeout) const;
    void stop();

    std::unique_ptr<Worker> _worker;
};
