// Sending audio and capturing it from a frame-sync run on the audio thread and
// its workers every block: once the stream is steady they allocate nothing.
// Allocations are counted on the calling thread only, through a replaced
// global operator new.
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local size_t allocations = 0;
} // namespace

void* operator new(size_t size) {
    if (counting)
        ++allocations;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
// The replacement pair takes its memory from malloc, so free is its match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop

using namespace std::chrono_literals;

class RealTimeSafety : public RuntimeTestSupport::IsolatedRuntime {};

TEST_F(RealTimeSafety, steadySendingAndFrameSyncCaptureAllocateNothing) {
    NDIlib_send_create_t settings{"Steady", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    const std::string name = RuntimeTestSupport::hostName() + " (Steady)";
    NDIlib_recv_create_v3_t receiverSettings{
        {name.c_str(), nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&receiverSettings, nullptr);
    NDIlib_audio_frame_v2_t status{};
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, &status, nullptr, 5000), NDIlib_frame_type_status_change);
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);

    std::vector<float> samples(8 * 512, 0.5f);
    NDIlib_audio_frame_v2_t frame{48000, 8, 512, NDIlib_send_timecode_synthesize, samples.data(), 512 * 4, nullptr, 0};
    size_t heard = 0;
    auto block = [&] {
        NDIlib_send_send_audio_v2(sender, &frame);
        std::this_thread::sleep_for(2ms);
        NDIlib_audio_frame_v2_t captured{};
        NDIlib_framesync_capture_audio(frameSync, &captured, 48000, 0, 512);
        heard += captured.p_data && captured.p_data[511] == 0.5f;
        NDIlib_framesync_free_audio(frameSync, &captured);
    };
    for (int warmUp = 0; warmUp < 50; ++warmUp)
        block();
    counting = true;
    for (int steady = 0; steady < 200; ++steady)
        block();
    counting = false;
    EXPECT_EQ(allocations, 0u);
    EXPECT_GT(heard, 100u);

    NDIlib_framesync_destroy(frameSync);
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}
