// The bridge's stores are shared by the GUI thread (slots, uiReady) and the
// engine's threads (reports). Run under ThreadSanitizer this shows every
// access is ordered; in any build the final state shows no update was lost.
#include "BridgeTestSupport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr int kReporters = 3;
constexpr int kSourcesPerReporter = 60;

std::string sourceName(int reporter, int index) {
    return "HOST" + std::to_string(reporter) + " (" + std::to_string(index) + ")";
}

TEST(BridgeConcurrency, reportsFromSeveralThreadsWhileSlotsRunLoseNothing) {
    static int argc = 1;
    static char name[] = "bridge-concurrency";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    bridgetest::PrivateEnvironment environment;
    bridgetest::ManualBridge engine;
    QMLWrapper& bridge = *engine.bridge;

    std::atomic<bool> reportersDone{false};
    std::vector<std::thread> threads;
    // Discovery-like threads: each adds its own sources, recounts them and
    // removes every even one.
    for (int reporter = 0; reporter < kReporters; ++reporter) {
        threads.emplace_back([&bridge, reporter] {
            for (int i = 0; i < kSourcesPerReporter; ++i) {
                bridge.sourceAdded(sourceName(reporter, i), -1);
                bridge.sourceChannelsChanged(sourceName(reporter, i), i % 5);
                if (i % 2 == 0)
                    bridge.sourceRemoved(sourceName(reporter, i));
            }
        });
    }
    // An audio-thread-like reporter replacing the senders and connections, and
    // a delay task.
    threads.emplace_back([&bridge, &reportersDone] {
        SenderChannelMappings mappings{{"Out", {ChannelMapping{0, "HOST0 (1)"}, ChannelMapping{}}}};
        SenderVideoSources videoSources{{"Out", "HOST1 (1)"}};
        while (!reportersDone.load()) {
            bridge.sendersChanged(mappings, videoSources);
            bridge.senderDelayChanged("Out", 40);
        }
    });
    // A block clock applying what the slots queue.
    threads.emplace_back([&engine, &reportersDone] {
        while (!reportersDone.load())
            engine.clock->tick();
    });

    // The GUI thread meanwhile plays the page.
    for (int round = 0; round < 200; ++round) {
        const QString sender = QStringLiteral("Page %1").arg(round % 4);
        bridge.senderAdded(sender, 2);
        bridge.connectionAdded(QStringLiteral("HOST0 (1)"), 0, sender, 1);
        bridge.videoConnectionAdded(QStringLiteral("HOST1 (1)"), sender);
        bridge.uiReady();
        bridge.videoConnectionRemoved(QStringLiteral("HOST1 (1)"), sender);
        bridge.connectionRemoved(QStringLiteral("HOST0 (1)"), 0, sender, 1);
        bridge.senderRemoved(sender);
        QCoreApplication::processEvents();
    }
    for (int reporter = 0; reporter < kReporters; ++reporter)
        threads[std::size_t(reporter)].join();
    reportersDone.store(true);
    for (std::size_t i = kReporters; i < threads.size(); ++i)
        threads[i].join();

    QString lastSources;
    QObject receiver;
    QObject::connect(&bridge, &QMLWrapper::sourcesUpdated, &receiver, [&](const QString& text) { lastSources = text; });
    bridge.uiReady();

    QJsonObject expected;
    for (int reporter = 0; reporter < kReporters; ++reporter) {
        for (int i = 1; i < kSourcesPerReporter; i += 2)
            expected.insert(QString::fromStdString(sourceName(reporter, i)), i % 5);
    }
    EXPECT_EQ(QJsonDocument::fromJson(lastSources.toUtf8()).object(), expected);
}

} // namespace
