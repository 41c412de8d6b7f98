#pragma once

#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

// A controller on a clock that only the test ticks, in its own environment.
// Starting it costs about 1.5 s (the start-up sequence pauses while it reloads
// the default file).
class ControllerTest : public ::testing::Test {
protected:
    void start() {
        auto clock = std::make_unique<ManualClock>();
        clockDevice = clock.get();
        controller = std::make_unique<AudioController>(&listener, std::move(clock));
        block(); // applies the start-up reload
        listener.take();
    }
    void TearDown() override { controller.reset(); }

    void block() { AudioControllerTestAccess::runBlock(*controller); }
    // Blocks at the device's pace, until `done` or `limit`.
    template <class Done>
    bool blocksUntil(Done done, std::chrono::milliseconds limit = std::chrono::milliseconds(4000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            block();
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(10667));
        }
        return false;
    }

    std::map<std::string, AudioController::SenderState> senders() {
        std::map<std::string, AudioController::SenderState> byName;
        for (auto& state : controller->routingSnapshot()) {
            byName.emplace(state.name, state);
        }
        return byName;
    }
    std::vector<ChannelMapping> unconnected(size_t count) { return std::vector<ChannelMapping>(count); }
    int32_t count(const std::string& source) { return AudioControllerTestAccess::connectionCount(*controller, source); }

    EngineEnvironment environment;
    RecordingListener listener;
    ManualClock* clockDevice = nullptr; // owned by the controller
    std::unique_ptr<AudioController> controller;
};
