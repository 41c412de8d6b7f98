#include "ControllerTestFixture.h"

#include "audio/EngineLimits.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace {
using Access = AudioControllerTestAccess;
const std::string kS1 = "Zelka Sender 1";

const char* const kTwoSendersWithDelays = R"json({
    "senderChannelMappings": [
        {"senderName": "Delayed", "senderChannelMappings": [{"sourceChannel": 0, "sourceName": ""}]},
        {"senderName": "Early", "senderChannelMappings": []}
    ],
    "senderDelayMappings": [{"senderName": "Delayed", "delay": 40}, {"senderName": "Early", "delay": -20}]
})json";

// Counts the default file's replacements (each atomic write renames a new file
// over it).
class FileReplacements {
public:
    explicit FileReplacements(const std::filesystem::path& file) : _name(file.filename().string()) {
        _fd = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(_fd, file.parent_path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~FileReplacements() { close(_fd); }
    int count() {
        alignas(inotify_event) char buffer[8192];
        for (ssize_t length; (length = read(_fd, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && _name == event->name) {
                    ++_count;
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
        return _count;
    }

private:
    std::string _name;
    int _fd = -1;
    int _count = 0;
};
} // namespace

using ChannelMappingFiles = ControllerTest;

TEST_F(ChannelMappingFiles, saveThenLoadReproducesTheRouting) {
    start();
    controller->addConnection("H (A)", 2, kS1, 1);
    controller->setVideoSource("H (V)", kS1);
    block();
    controller->setAVDelay(kS1, 40);
    const auto before = senders();
    const auto file = environment.root() / "sub" / "saved.zelkac";
    ASSERT_TRUE(controller->saveChannelMappings(file.string()));

    const auto empty = environment.root() / "empty.zelkac";
    EngineEnvironment::writeFile(empty, "");
    ASSERT_TRUE(controller->loadChannelMappings(empty.string()));
    // The clear waits for the sender's delay change to finish.
    ASSERT_TRUE(blocksUntil([&] { return senders().empty(); })) << "a readable empty file clears every sender";

    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    controller->_processingStarted = true;
    block();
    auto after = senders();
    EXPECT_EQ(after, before);
    EXPECT_EQ(listener.take().back(), "senderDelayChanged " + kS1 + " 40");
}

TEST_F(ChannelMappingFiles, loadThatCannotBeUsedLeavesTheRoutingUnchanged) {
    start();
    const auto root = environment.root();
    std::filesystem::create_directories(root / "a-directory.zelkac");
    EngineEnvironment::writeFile(root / "broken.zelkac", "{\"senderChannelMappings\": [");
    EngineEnvironment::writeFile(
        root / "wide.zelkac", R"json([{"senderName": "W", "senderChannelMappings": [)json" +
                                  std::string(65 * 38, ' ')
                                      .replace(0, 0,
                                               [] {
                                                   std::string entries;
                                                   for (int i = 0; i < 65; ++i) {
                                                       entries += std::string(i ? "," : "") +
                                                                  R"json({"sourceChannel": 0, "sourceName": ""})json";
                                                   }
                                                   return entries;
                                               }()) +
                                  "]}]");
    const auto before = senders();
    for (const char* name : {"missing.zelkac", "a-directory.zelkac", "broken.zelkac", "wide.zelkac"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(controller->loadChannelMappings((root / name).string()));
        block();
        EXPECT_EQ(senders(), before);
    }
}

TEST_F(ChannelMappingFiles, senderNamedTwiceInAFileKeepsTheLaterEntryAndOneOutput) {
    start();
    const auto file = environment.root() / "twice.zelkac";
    EngineEnvironment::writeFile(file, R"json([
        {"senderName": "D", "senderChannelMappings": [{"sourceChannel": 0, "sourceName": ""}]},
        {"senderName": "D", "senderChannelMappings": [{"sourceChannel": 2, "sourceName": "H (A)"},
                                                      {"sourceChannel": 0, "sourceName": ""}]}])json");
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    block();
    const auto s = senders();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s.at("D").mappings, (std::vector<ChannelMapping>{{1, "H (A)"}, {}}));
    EXPECT_EQ(NdiCalls::liveSenders.load(), 1);
    EXPECT_EQ(count("H (A)"), 1);
}

// The start-up sequence rewrites the default file before the start gate opens;
// delays waiting for the gate are written, not lost.
TEST_F(ChannelMappingFiles, delaysWaitingForTheStartGateSurviveTheStartUpRewrite) {
    EngineEnvironment::writeFile(environment.defaultFile(), kTwoSendersWithDelays);
    start();
    auto s = senders();
    EXPECT_EQ(s["Delayed"].delayMs, 40);
    EXPECT_EQ(s["Early"].delayMs, -20);
    const std::string rewritten = EngineEnvironment::readFile(environment.defaultFile());
    EXPECT_NE(rewritten.find("\"delay\": 40"), std::string::npos) << rewritten;
    EXPECT_NE(rewritten.find("\"delay\": -20"), std::string::npos) << rewritten;

    controller.reset();
    const std::string atShutdown = EngineEnvironment::readFile(environment.defaultFile());
    EXPECT_NE(atShutdown.find("\"delay\": 40"), std::string::npos) << atShutdown;
}

// A link the page made after the last block (a signal right after it) is in
// the file written at shutdown.
TEST_F(ChannelMappingFiles, changesQueuedAfterTheLastBlockAreWrittenAtShutdown) {
    start();
    controller->addConnection("H (Late)", 2, kS1, 1);
    controller->setVideoSource("H (Late Video)", kS1);
    controller.reset();
    const std::string atShutdown = EngineEnvironment::readFile(environment.defaultFile());
    EXPECT_NE(atShutdown.find("\"H (Late)\""), std::string::npos) << atShutdown;
    EXPECT_NE(atShutdown.find("\"H (Late Video)\""), std::string::npos) << atShutdown;
}

// The gate thread and MAPPINGS_APPLIED race for the restored delays: exactly
// one of them applies each delay, once.
TEST_F(ChannelMappingFiles, restoredDelaysAreAppliedOnceWhenTheGateOpens) {
    EngineEnvironment::writeFile(environment.defaultFile(), kTwoSendersWithDelays);
    start();
    const auto file = environment.root() / "again.zelkac";
    EngineEnvironment::writeFile(file, kTwoSendersWithDelays);
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    std::atomic<bool> running{true};
    std::thread audio([&] {
        while (running) {
            block();
        }
    });
    controller->openStartGateAfter(std::chrono::milliseconds(0));
    while (!controller->_processingStarted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    running = false;
    audio.join();
    std::vector<std::string> delays;
    for (const auto& report : listener.take()) {
        if (report.starts_with("senderDelayChanged")) {
            delays.push_back(report);
        }
    }
    EXPECT_EQ(delays, (std::vector<std::string>{"senderDelayChanged Delayed 40", "senderDelayChanged Early -20"}));
    EXPECT_EQ(Access::pendingDelay(*controller, "Delayed"), 0);
    EXPECT_EQ(senders()["Delayed"].delayMs, 40);
}

TEST_F(ChannelMappingFiles, closingBeforeTheGateOpensNeverOpensIt) {
    EngineEnvironment::writeFile(environment.defaultFile(), kTwoSendersWithDelays);
    start();
    controller->openStartGateAfter(std::chrono::milliseconds(2000));
    controller.reset();
    for (const auto& report : listener.take()) {
        EXPECT_FALSE(report.starts_with("senderDelayChanged")) << report;
    }
}

TEST_F(ChannelMappingFiles, unparsableDefaultFileIsMovedAsideAtStartUp) {
    EngineEnvironment::writeFile(environment.defaultFile(), "{ not json");
    start();
    const std::filesystem::path defaultFile = environment.defaultFile();
    int movedAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(defaultFile.parent_path())) {
        if (entry.path().filename().string().starts_with(defaultFile.filename().string() + ".unreadable-")) {
            ++movedAside;
            EXPECT_EQ(EngineEnvironment::readFile(entry.path()), "{ not json");
        }
    }
    EXPECT_EQ(movedAside, 1);
    EXPECT_EQ(senders().size(), 3u) << "the default senders";
}

// Bursts of applied changes rewrite the default file about once a second, and
// it ends up holding the last routing.
TEST_F(ChannelMappingFiles, defaultFileFollowsAppliedChangesCoalesced) {
    start();
    FileReplacements replacements(environment.defaultFile());
    for (uint32_t channel = 0; channel < 4; ++channel) {
        for (int repeat = 0; repeat < 10; ++repeat) {
            controller->addConnection("H (A)", channel + static_cast<uint32_t>(repeat), kS1, channel);
            block();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const int writes = replacements.count();
    EXPECT_GE(writes, 1);
    EXPECT_LE(writes, 4);
    const std::string saved = EngineEnvironment::readFile(environment.defaultFile());
    EXPECT_NE(saved.find("\"sourceChannel\": 13"), std::string::npos) << saved; // channel 12, written from 1
}

TEST_F(ChannelMappingFiles, saveDuringALoadsPauseWritesTheWholeRoutingBeforeOrAfter) {
    start();
    const auto file = environment.root() / "next.zelkac";
    EngineEnvironment::writeFile(file, R"json([{"senderName": "X", "senderChannelMappings": []}])json");
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    std::thread audio([&] { block(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto saved = environment.root() / "during.zelkac";
    ASSERT_TRUE(controller->saveChannelMappings(saved.string()));
    audio.join();
    const std::string text = EngineEnvironment::readFile(saved);
    const bool before = text.find(kS1) != std::string::npos;
    const bool after = text.find("\"X\"") != std::string::npos;
    EXPECT_TRUE(before != after) << text;
}

TEST_F(ChannelMappingFiles, deviceRestartKeepsTheLiveRouting) {
    start();
    controller->addConnection("H (A)", 1, kS1, 0);
    block();
    EXPECT_EQ(controller->currentMappingsPath(), environment.defaultFile());
    controller->setCurrentMappingsPath((environment.root() / "chosen.zelkac").string());
    controller->audioDeviceAboutToStart(clockDevice);
    block();
    EXPECT_EQ(senders()[kS1].mappings[0], (ChannelMapping{1, "H (A)"}));
    EXPECT_EQ(controller->currentMappingsPath(), environment.defaultFile());
}
