#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

// Without a usable sound device (no JACK server runs for this test) the
// controller falls back to the software clock: the three default senders, no
// "Monitor", and the default file written. About 3 s (start-up pauses).
TEST(StartUp, withoutASoundDeviceRunsTheSoftwareClockWithTheDefaultSenders) {
    EngineEnvironment environment;
    setenv("JACK_DEFAULT_SERVER", "quorvane-engine-test-no-server", 1);
    RecordingListener listener;
    auto controller = std::make_unique<AudioController>(&listener);
    EXPECT_FALSE(AudioControllerTestAccess::hasAudioDevice(*controller));
    std::vector<AudioController::SenderState> expected = {
        {"Zelka Sender 1", std::vector<ChannelMapping>(4), "", 0, true},
        {"Zelka Sender 2", std::vector<ChannelMapping>(2), "", 0, true},
        {"Zelka Sender 3", std::vector<ChannelMapping>(6), "", 0, true},
    };
    EXPECT_EQ(controller->routingSnapshot(), expected);
    EXPECT_TRUE(std::filesystem::exists(environment.defaultFile()));
    EXPECT_EQ(controller->currentMappingsPath(), environment.defaultFile());

    // The clock drives the blocks: queued changes get applied without the test.
    controller->addSender("Clocked", 1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool applied = false;
    while (!applied && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        applied = controller->routingSnapshot().size() == 4;
    }
    EXPECT_TRUE(applied);
    controller.reset();
    EXPECT_EQ(NdiCalls::liveSenders.load(), 0);
}
