#include "ControllerTestFixture.h"

#include "audio/EngineLimits.h"

#include <algorithm>
#include <cmath>

#include <functional>

namespace {
const std::string kA = "HOSTX (A)";
const std::string kB = "HOSTX (B)";
const std::string kS1 = "Zelka Sender 1";
const std::string kS2 = "Zelka Sender 2";

using Access = AudioControllerTestAccess;
} // namespace

using RoutingEvents = ControllerTest;

// Each step queues one kind of event; nothing changes before the next block,
// and the block applies it.
TEST_F(RoutingEvents, everyKindIsAppliedByTheNextBlock) {
    start();
    struct Step {
        const char* kind;
        std::function<void()> queue;
        std::function<void()> check;
    };
    const std::vector<Step> steps = {
        {"SOURCE_ADDED",
         [&] {
             Access::sourcesChanged(*controller, {kA, kB});
         },
         [&] {
             EXPECT_EQ(Access::slot(*controller, kA), std::make_pair(true, -1));
             EXPECT_EQ(Access::captureTaskCount(*controller), 1u);
             EXPECT_EQ(count(kA), 0);
         }},
        {"SOURCE_CHANNELS_CHANGED", [&] { Access::channelCountChanged(*controller, kA, 4); },
         [&] {
             EXPECT_EQ(Access::slot(*controller, kA), std::make_pair(true, 4));
             EXPECT_EQ(listener.take(), std::vector<std::string>{"sourceChannelsChanged " + kA + " 4"});
         }},
        {"CONNECTION_SET",
         [&] {
             controller->addConnection(kA, 1, kS1, 0);
             controller->addConnection(kA, 1, kS1, 1);
             controller->addConnection(kA, 3, kS2, 0);
             controller->addConnection(kA, 0, kS2, 9); // past the sender's channels: ignored
         },
         [&] {
             auto s = senders();
             EXPECT_EQ(s[kS1].mappings[0], (ChannelMapping{1, kA}));
             EXPECT_EQ(s[kS1].mappings[1], (ChannelMapping{1, kA}));
             EXPECT_EQ(s[kS2].mappings, (std::vector<ChannelMapping>{{3, kA}, {}}));
             EXPECT_EQ(count(kA), 3);
         }},
        {"CONNECTION_SET (removal)", [&] { controller->removeConnection(kA, 3, kS2, 0); },
         [&] {
             EXPECT_EQ(senders()[kS2].mappings, unconnected(2));
             EXPECT_EQ(count(kA), 2);
         }},
        {"VIDEO_SOURCE_SET",
         [&] {
             controller->setVideoSource(kB, kS1);
             controller->setVideoSource("", kS2);
             controller->setVideoSource(kB, "No Such Sender");
         },
         [&] {
             auto s = senders();
             EXPECT_EQ(s[kS1].videoSource, kB);
             EXPECT_EQ(s[kS2].videoSource, "");
             EXPECT_FALSE(s.contains("No Such Sender"));
         }},
        {"VIDEO_SOURCE_CLEARED", [&] { controller->clearVideoSource(kS1); },
         [&] {
             EXPECT_EQ(senders()[kS1].videoSource, "");
         }},
        {"SOURCE_REMOVED", [&] { Access::sourcesChanged(*controller, {kB}); },
         [&] {
             EXPECT_EQ(Access::slot(*controller, kA), std::make_pair(false, -1));
             EXPECT_FALSE(Access::sourceActive(*controller, kA));
             EXPECT_EQ(senders()[kS1].mappings[0], (ChannelMapping{1, kA})); // the connection stays
         }},
        {"SOURCE_ADDED (returning)",
         [&] {
             Access::sourcesChanged(*controller, {kA, kB});
         },
         [&] {
             EXPECT_EQ(Access::slot(*controller, kA).first, true);
             EXPECT_TRUE(Access::sourceActive(*controller, kA));
         }},
        {"SENDER_REMOVED", [&] { controller->removeSender(kS1); },
         [&] {
             EXPECT_FALSE(senders().contains(kS1));
             EXPECT_EQ(count(kA), 0); // two channels fed from A: counted down once each
             EXPECT_EQ(NdiCalls::liveSenders.load(), 2);
         }},
        {"SENDER_ADDED", [&] { controller->addSender("New", 3); },
         [&] {
             EXPECT_EQ(senders()["New"].mappings, unconnected(3));
             EXPECT_EQ(NdiCalls::liveSenders.load(), 3);
         }},
        {"SENDERS_CLEARED, SENDER_ADDED, MAPPINGS_APPLIED",
         [&] {
             const auto file = environment.root() / "one.zelkac";
             EngineEnvironment::writeFile(file, R"json({"senderChannelMappings": [{"senderName": "F",
                 "senderChannelMappings": [{"sourceChannel": 3, "sourceName": "HOSTX (A)"},
                                           {"sourceChannel": 0, "sourceName": ""}]}]})json");
             ASSERT_TRUE(controller->loadChannelMappings(file.string()));
         },
         [&] {
             auto s = senders();
             ASSERT_EQ(s.size(), 1u);
             EXPECT_EQ(s["F"].mappings, (std::vector<ChannelMapping>{{2, kA}, {}}));
             EXPECT_EQ(count(kA), 1);
             EXPECT_EQ(NdiCalls::liveSenders.load(), 1);
             EXPECT_EQ(listener.sendersChangedCount, 1);
             EXPECT_EQ(listener.lastMappings.size(), 1u);
         }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.kind);
        const auto before = senders();
        listener.sendersChangedCount = 0;
        step.queue();
        EXPECT_EQ(senders(), before) << "applied before the block";
        block();
        EXPECT_EQ(Access::queuedEvents(*controller), 0u);
        step.check();
        listener.take();
    }
}

TEST_F(RoutingEvents, eventsQueuedWhileABatchIsAppliedWaitForTheNextBlock) {
    start();
    std::thread producer;
    listener.onSendersChanged = [&] {
        producer = std::thread([&] { controller->addSender("Late", 1); });
    };
    const auto file = environment.root() / "empty.zelkac";
    EngineEnvironment::writeFile(file, "");
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    block();
    producer.join();
    listener.onSendersChanged = nullptr;
    EXPECT_TRUE(senders().empty());
    EXPECT_EQ(Access::queuedEvents(*controller), 1u);
    block();
    EXPECT_TRUE(senders().contains("Late"));
}

TEST_F(RoutingEvents, nothingIsAppliedOnceTheFinderStopped) {
    start();
    controller->addSender("Never", 2);
    finderRunning = false;
    block();
    finderRunning = true;
    EXPECT_FALSE(senders().contains("Never"));
    block();
    EXPECT_TRUE(senders().contains("Never"));
}

TEST_F(RoutingEvents, closedGateSendsNothingButAppliesEvents) {
    start();
    const int sendsBefore = NdiCalls::audioSends;
    controller->addSender("Added", 2);
    for (int i = 0; i < 5; ++i) {
        block();
    }
    EXPECT_EQ(NdiCalls::audioSends - sendsBefore, 0);
    EXPECT_TRUE(senders().contains("Added"));

    controller->_processingStarted = true;
    block();
    EXPECT_EQ(NdiCalls::audioSends - sendsBefore, 4); // three default senders and "Added"
}

TEST_F(RoutingEvents, removingAndReaddingASenderBeforeTheNextBlockReplacesIt) {
    start();
    Access::sourcesChanged(*controller, {kA});
    controller->addConnection(kA, 0, kS1, 0);
    controller->addConnection(kA, 0, kS1, 3);
    block();
    ASSERT_EQ(count(kA), 2);
    ASSERT_EQ(NdiCalls::liveSenders.load(), 3);

    controller->removeSender(kS1);
    controller->addSender(kS1, 3);
    EXPECT_EQ(NdiCalls::liveSenders.load(), 4); // the new output exists at once
    block();
    EXPECT_EQ(NdiCalls::liveSenders.load(), 3); // the old one is gone
    EXPECT_EQ(senders()[kS1].mappings, unconnected(3));
    EXPECT_EQ(count(kA), 0);
}

TEST_F(RoutingEvents, addingANameTwiceLeavesOneOutput) {
    start();
    controller->addSender(kS2, 5);
    block();
    EXPECT_EQ(NdiCalls::liveSenders.load(), 3);
    EXPECT_EQ(senders()[kS2].mappings.size(), 5u);
}

TEST_F(RoutingEvents, senderAboveTheChannelLimitIsRefused) {
    start();
    controller->addSender("Wide", EngineLimits::kMaxSenderChannels + 1);
    controller->addSender("", 2);
    EXPECT_EQ(Access::queuedEvents(*controller), 0u);
    controller->addSender("Widest", EngineLimits::kMaxSenderChannels);
    block();
    EXPECT_EQ(senders()["Widest"].mappings.size(), EngineLimits::kMaxSenderChannels);
}

TEST_F(RoutingEvents, setAVDelayNeverCreatesASender) {
    start();
    controller->setAVDelay("Unknown", 40);
    controller->setAVDelay(kS1, EngineLimits::kMaxDelayMs + 1);
    controller->setAVDelay(kS2, 40);
    auto s = senders();
    EXPECT_FALSE(s.contains("Unknown"));
    EXPECT_EQ(s[kS1].delayMs, 0);
    EXPECT_EQ(s[kS2].delayMs, 40);
}

// "Monitor" plays on the outputs it fills; every other output is written with
// silence, whatever the device left in it.
TEST_F(RoutingEvents, outputsMonitorDoesNotFillAreSilent) {
    start();
    Access::setHasAudioDevice(*controller, true);
    std::vector<float> left(512, 9.0f), right(512, 9.0f);
    float* outputs[] = {left.data(), right.data()};

    Access::runBlock(*controller, outputs, 2, 512);
    EXPECT_EQ(left, std::vector<float>(512, 0.0f)) << "no Monitor";
    EXPECT_EQ(right, std::vector<float>(512, 0.0f));

    const auto file = environment.root() / "monitor.zelkac";
    EngineEnvironment::writeFile(file, R"([{"senderName": "Monitor",
        "senderChannelMappings": [{"sourceChannel": 0, "sourceName": ""}]}])");
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    block();
    std::fill(left.begin(), left.end(), 9.0f);
    std::fill(right.begin(), right.end(), 9.0f);
    Access::runBlock(*controller, outputs, 2, 512);
    EXPECT_EQ(left, std::vector<float>(512, 0.0f));
    EXPECT_EQ(right, std::vector<float>(512, 0.0f)) << "1-channel Monitor";
}

// A real NDI source: its channel reaches a sender and the Monitor output,
// falls silent while the source is gone and comes back with it.
TEST_F(RoutingEvents, connectedSourceChannelIsHeardUntilTheSourceGoesAndAgainWhenItReturns) {
    start();
    ConstantSource source("Tone", 2);
    Access::setHasAudioDevice(*controller, true);
    controller->addSender("Monitor", 2);
    Access::sourcesChanged(*controller, {source.name()});
    controller->addConnection(source.name(), 1, "Monitor", 0);
    controller->addConnection(source.name(), 0, kS1, 2);
    controller->_processingStarted = true;

    std::vector<float> left(512), right(512);
    float* outputs[] = {left.data(), right.data()};
    const auto carries = [](const std::vector<float>& channel, float level) {
        return !channel.empty() && std::abs(channel.front() - level) < 1e-3f &&
               std::abs(channel.back() - level) < 1e-3f;
    };
    const auto heard = [&] {
        Access::runBlock(*controller, outputs, 2, 512);
        return carries(left, ConstantSource::level(1)) &&
               carries(Access::senderChannel(*controller, kS1, 2), ConstantSource::level(0));
    };
    ASSERT_TRUE(blocksUntil(heard));
    EXPECT_EQ(right, std::vector<float>(512, 0.0f));
    EXPECT_EQ(Access::senderChannel(*controller, kS1, 0), std::vector<float>(512, 0.0f));

    Access::sourcesChanged(*controller, {});
    block();
    block();
    EXPECT_EQ(Access::senderChannel(*controller, kS1, 2), std::vector<float>(512, 0.0f));

    Access::sourcesChanged(*controller, {source.name()});
    EXPECT_TRUE(blocksUntil(heard));
}

// Shutdown: the default file holds the routing, every NDI output is closed and
// NDI itself is closed last.
TEST_F(RoutingEvents, destructionClosesEveryOutputThenNdi) {
    start();
    ConstantSource source("Shut", 1);
    Access::sourcesChanged(*controller, {source.name()});
    controller->addConnection(source.name(), 0, kS2, 1);
    controller->_processingStarted = true;
    ASSERT_TRUE(blocksUntil([&] { return Access::senderChannel(*controller, kS2, 1).front() != 0.0f; }));
    NdiCalls::clearOrder();
    const int endsBefore = NdiCalls::runtimeEnds;
    controller.reset();

    const auto order = NdiCalls::order();
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "destroy");
    EXPECT_EQ(std::count(order.begin(), order.end(), "send_destroy"), 3);
    EXPECT_EQ(std::count(order.begin(), order.end(), "framesync_destroy"), 1);
    EXPECT_EQ(NdiCalls::runtimeEnds - endsBefore, 1);
    EXPECT_EQ(NdiCalls::liveSenders.load(), 0);
    const std::string saved = EngineEnvironment::readFile(environment.defaultFile());
    EXPECT_NE(saved.find(R"json("sourceName": "QTESTHOST (Shut)")json"), std::string::npos) << saved;
}
