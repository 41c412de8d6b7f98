#include "audio/BlockTask.h"

#include "ndi/NDIRx.h"

#include <utility>

struct BlockTask::Worker {
    std::mutex mutex;
    std::condition_variable wake; // a job arrived, or the worker must end
    std::condition_variable done; // the job finished
    bool busy = false;            // a job is queued or running
    bool ending = false;
    Job job = nullptr;
    void* context = nullptr;
    std::size_t from = 0;
    std::size_t to = 0;
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return busy || ending; });
            if (!busy) {
                return;
            }
            const Job run = job;
            void* const target = context;
            const std::size_t first = from;
            const std::size_t end = to;
            lock.unlock();
            run(target, first, end);
            lock.lock();
            busy = false;
            done.notify_all();
        }
    }
};

BlockTask::BlockTask() : _worker(std::make_unique<Worker>()) {
    _worker->thread = std::thread([worker = _worker.get()] { worker->run(); });
}

BlockTask::~BlockTask() {
    stop();
}

BlockTask::BlockTask(BlockTask&& other) noexcept : _worker(std::move(other._worker)) {}

BlockTask& BlockTask::operator=(BlockTask&& other) noexcept {
    if (this != &other) {
        stop();
        _worker = std::move(other._worker);
    }
    return *this;
}

void BlockTask::stop() {
    if (_worker == nullptr) {
        return;
    }
    {
        std::unique_lock lock(_worker->mutex);
        _worker->done.wait(lock, [this] { return !_worker->busy; });
        _worker->ending = true;
    }
    _worker->wake.notify_one();
    _worker->thread.join();
    _worker.reset();
}

void BlockTask::launch(NDIRx& rx, std::size_t from, std::size_t to) {
    launch([](void* context, std::size_t first,
              std::size_t end) { static_cast<NDIRx*>(context)->captureRange(first, end); },
           &rx, from, to);
}

void BlockTask::launch(Job job, void* context, std::size_t from, std::size_t to) {
    {
        std::unique_lock lock(_worker->mutex);
        _worker->done.wait(lock, [this] { return !_worker->busy; });
        _worker->job = job;
        _worker->context = context;
        _worker->from = from;
        _worker->to = to;
        _worker->busy = true;
    }
    _worker->wake.notify_one();
}

void BlockTask::wait() const {
    if (_worker == nullptr) {
        return;
    }
    std::unique_lock lock(_worker->mutex);
    _worker->done.wait(lock, [this] { return !_worker->busy; });
}

std::future_status BlockTask::waitFor(std::chrono::nanoseconds timeout) const {
    if (_worker == nullptr) {
        return std::future_status::ready;
    }
    std::unique_lock lock(_worker->mutex);
    return _worker->done.wait_for(lock, timeout, [this] { return !_worker->busy; }) ? std::future_status::ready
                                                                                    : std::future_status::timeout;
}
