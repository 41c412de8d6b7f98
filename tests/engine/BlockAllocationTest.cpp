#include "ControllerTestFixture.h"

#include <cstdlib>
#include <new>

// Counts every operator new made on a thread that asked to be counted.
namespace {
thread_local bool countAllocations = false;
std::atomic<long> allocations{0};

void* allocate(std::size_t size) {
    if (countAllocations) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}
void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (countAllocations) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    const auto align = static_cast<std::size_t>(alignment);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}
} // namespace

void* operator new(std::size_t size) {
    if (void* memory = allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* memory = allocateAligned(size, alignment)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}

using BlockAllocation = ControllerTest;

// With sources captured, senders routed and sent, a video source passed
// through and "Monitor" played, a block allocates nothing. The only exception
// is the discovery task, which starts every 2 s with a copy of the source
// names. About 6 s: blocks run at the device's pace.
TEST_F(BlockAllocation, steadyBlocksAllocateNothing) {
    start();
    ConstantSource first("First", 4);
    ConstantSource second("Second", 2);
    AudioControllerTestAccess::setHasAudioDevice(*controller, true);
    controller->addSender("Monitor", 2);
    AudioControllerTestAccess::sourcesChanged(*controller, {first.name(), second.name()});
    for (uint32_t channel = 0; channel < 4; ++channel) {
        controller->addConnection(first.name(), channel, "Zelka Sender 1", channel);
        controller->addConnection(first.name(), channel, "Zelka Sender 3", channel);
    }
    controller->addConnection(second.name(), 1, "Zelka Sender 2", 0);
    controller->addConnection(second.name(), 0, "Monitor", 0);
    controller->setVideoSource(second.name(), "Zelka Sender 3");
    controller->_processingStarted = true;

    std::vector<float> left(512), right(512);
    float* outputs[] = {left.data(), right.data()};
    const auto runPaced = [&](int blocks, std::vector<std::pair<std::chrono::steady_clock::time_point, long>>* log) {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) {
            const long before = allocations.load();
            countAllocations = log != nullptr;
            AudioControllerTestAccess::runBlock(*controller, outputs, 2, 512);
            countAllocations = false;
            if (log != nullptr && allocations.load() != before) {
                log->emplace_back(std::chrono::steady_clock::now(), allocations.load() - before);
            }
            next += std::chrono::microseconds(10667);
            std::this_thread::sleep_until(next);
        }
    };
    // Warm-up: receivers open, audio arrives, the first discovery task has run.
    runPaced(250, nullptr);
    ASSERT_NE(AudioControllerTestAccess::senderChannel(*controller, "Zelka Sender 2", 0).front(), 0.0f);
    ASSERT_NE(left.front(), 0.0f);

    std::vector<std::pair<std::chrono::steady_clock::time_point, long>> allocatingBlocks;
    runPaced(300, &allocatingBlocks);
    EXPECT_LE(allocatingBlocks.size(), 2u);
    for (size_t i = 1; i < allocatingBlocks.size(); ++i) {
        EXPECT_GE(allocatingBlocks[i].first - allocatingBlocks[i - 1].first, std::chrono::milliseconds(1900))
            << "allocations closer together than the discovery task's period";
    }
}
