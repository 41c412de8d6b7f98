#include "audio/BlockRouter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBlock = 512;

// Tables as the controller holds them, with sources whose captured frames the
// test writes directly.
struct RoutingFixture {
    SenderTable senders;
    SenderChannelMappings mappings;
    SourceFrames frames;
    SourceAudioReady ready;
    std::vector<std::unique_ptr<float[]>> sourceData;
    BlockRouter router;

    void addSender(const std::string& name, int channels) {
        Sender sender;
        sender.name = name;
        sender.buffer = std::make_unique<float[]>(static_cast<size_t>(channels) * kBlock);
        // Stale values that routing must overwrite.
        std::fill_n(sender.buffer.get(), channels * kBlock, 7.0f);
        sender.audioFrame.no_channels = channels;
        sender.audioFrame.no_samples = kBlock;
        sender.audioFrame.channel_stride_in_bytes = kBlock * static_cast<int>(sizeof(float));
        sender.audioFrame.p_data = sender.buffer.get();
        senders.emplace(name, std::move(sender));
        mappings[name].resize(static_cast<size_t>(channels));
    }

    // Channel c of the source holds (c + 1) + sample / 10000 for each sample.
    void addSource(const std::string& name, int channels, int samples, bool active = true, bool isReady = true) {
        auto data = std::make_unique<float[]>(static_cast<size_t>(channels) * samples);
        for (int c = 0; c < channels; ++c) {
            for (int s = 0; s < samples; ++s) {
                data[static_cast<size_t>(c * samples + s)] =
                    static_cast<float>(c + 1) + static_cast<float>(s) / 10000.0f;
            }
        }
        auto container = std::make_unique<FramesContainer>();
        container->active = active;
        container->audioFrame.no_channels = channels;
        container->audioFrame.no_samples = samples;
        container->audioFrame.channel_stride_in_bytes = samples * static_cast<int>(sizeof(float));
        container->audioFrame.p_data = data.get();
        frames[name] = std::move(container);
        ready[name] = isReady;
        sourceData.push_back(std::move(data));
    }

    void connect(const std::string& sender, size_t senderChannel, const std::string& source, uint32_t sourceChannel) {
        mappings[sender][senderChannel] = ChannelMapping{sourceChannel, source};
    }

    void route() {
        router.plan(senders, mappings, frames, ready);
        router.route();
    }

    std::vector<float> channel(const std::string& sender, int k) {
        const NDIlib_audio_frame_v2_t& frame = senders.at(sender).audioFrame;
        return std::vector<float>(frame.p_data + static_cast<size_t>(k) * kBlock,
                                  frame.p_data + static_cast<size_t>(k + 1) * kBlock);
    }

    static std::vector<float> expected(int sourceChannel, int samples) {
        std::vector<float> out(kBlock, 0.0f);
        for (int s = 0; s < samples && s < kBlock; ++s) {
            out[static_cast<size_t>(s)] = static_cast<float>(sourceChannel + 1) + static_cast<float>(s) / 10000.0f;
        }
        return out;
    }
};

const std::vector<float> kSilence(kBlock, 0.0f);

struct RoutingCase {
    const char* name;
    std::function<void(RoutingFixture&)> setUp; // builds source "S" and connects "A" channel 0
    std::vector<float> expected;                // sender "A" channel 0 after one block
};

} // namespace

TEST(BlockRouting, eachSenderChannelCarriesExactlyItsSourceChannelOrSilence) {
    const std::vector<RoutingCase> cases = {
        {"second channel of a 2-channel source",
         [](RoutingFixture& f) {
             f.addSource("S", 2, kBlock);
             f.connect("A", 0, "S", 1);
         },
         RoutingFixture::expected(1, kBlock)},
        {"channel past the source's count is silent",
         [](RoutingFixture& f) {
             f.addSource("S", 2, kBlock);
             f.connect("A", 0, "S", 3);
         },
         kSilence},
        {"unconnected channel is silent", [](RoutingFixture& f) { f.addSource("S", 2, kBlock); }, kSilence},
        {"missing source is silent", [](RoutingFixture& f) { f.connect("A", 0, "S", 0); }, kSilence},
        {"inactive source is silent",
         [](RoutingFixture& f) {
             f.addSource("S", 2, kBlock, false);
             f.connect("A", 0, "S", 0);
         },
         kSilence},
        {"source not captured this block is silent, not held",
         [](RoutingFixture& f) {
             f.addSource("S", 2, kBlock, true, false);
             f.connect("A", 0, "S", 0);
         },
         kSilence},
        {"source with an empty frame is silent",
         [](RoutingFixture& f) {
             f.addSource("S", 2, 0);
             f.connect("A", 0, "S", 0);
         },
         kSilence},
        {"short frame is copied as far as it goes, the rest is silent",
         [](RoutingFixture& f) {
             f.addSource("S", 2, 100);
             f.connect("A", 0, "S", 1);
         },
         RoutingFixture::expected(1, 100)},
    };
    for (const RoutingCase& routingCase : cases) {
        SCOPED_TRACE(routingCase.name);
        RoutingFixture fixture;
        fixture.addSender("A", 2);
        routingCase.setUp(fixture);
        fixture.route();
        EXPECT_EQ(fixture.channel("A", 0), routingCase.expected);
        EXPECT_EQ(fixture.channel("A", 1), kSilence);
    }
}

TEST(BlockRouting, fanOutGivesIdenticalCopies) {
    RoutingFixture fixture;
    fixture.addSender("A", 2);
    fixture.addSender("B", 1);
    fixture.addSource("S", 4, kBlock);
    fixture.connect("A", 0, "S", 2);
    fixture.connect("A", 1, "S", 2);
    fixture.connect("B", 0, "S", 2);
    fixture.route();
    const auto expected = RoutingFixture::expected(2, kBlock);
    EXPECT_EQ(fixture.channel("A", 0), expected);
    EXPECT_EQ(fixture.channel("A", 1), expected);
    EXPECT_EQ(fixture.channel("B", 0), expected);
}

TEST(BlockRouting, sourceThatStopsBeingReadyFallsSilentNextBlockAndReturns) {
    RoutingFixture fixture;
    fixture.addSender("A", 1);
    fixture.addSource("S", 1, kBlock);
    fixture.connect("A", 0, "S", 0);
    fixture.route();
    EXPECT_EQ(fixture.channel("A", 0), RoutingFixture::expected(0, kBlock));
    fixture.ready["S"] = false;
    fixture.router.route();
    EXPECT_EQ(fixture.channel("A", 0), kSilence);
    fixture.ready["S"] = true;
    fixture.router.route();
    EXPECT_EQ(fixture.channel("A", 0), RoutingFixture::expected(0, kBlock));
}

TEST(BlockRouting, senderWithoutMappingsIsNotWrittenAndMonitorIsFound) {
    RoutingFixture fixture;
    fixture.addSender("Monitor", 2);
    fixture.addSender("Unmapped", 1);
    fixture.mappings.erase("Unmapped");
    fixture.route();
    EXPECT_EQ(fixture.router.monitor(), &fixture.senders.at("Monitor"));
    EXPECT_EQ(fixture.channel("Monitor", 0), kSilence);
    EXPECT_EQ(fixture.channel("Unmapped", 0), std::vector<float>(kBlock, 7.0f));
}
