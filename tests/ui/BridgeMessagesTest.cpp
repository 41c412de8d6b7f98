// What the bridge tells the page: each engine report becomes its JSON message,
// uiReady replays the stores, and the page's slots edit the stores.
#include "BridgeTestSupport.h"

#include "audio/EngineLimits.h"

#include <QCoreApplication>
#include <QVariant>

#include <gtest/gtest.h>

#include <climits>
#include <thread>

using bridgetest::ManualBridge;
using bridgetest::MessageLog;
using Messages = std::vector<std::pair<QString, QString>>;

namespace {

class BridgeMessages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "bridge-tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    Messages replay() {
        log.take();
        bridge.uiReady();
        return log.take();
    }

    bridgetest::PrivateEnvironment environment;
    ManualBridge engine;
    QMLWrapper& bridge = *engine.bridge;
    MessageLog log{bridge};
};

std::pair<QString, QString> sources(const char* json) {
    return {QStringLiteral("sourcesUpdated"), QString::fromUtf8(json)};
}
std::pair<QString, QString> senders(const char* json) {
    return {QStringLiteral("sendersUpdated"), QString::fromUtf8(json)};
}
std::pair<QString, QString> connections(const char* json) {
    return {QStringLiteral("connectionsUpdated"), QString::fromUtf8(json)};
}

TEST_F(BridgeMessages, uiReadyOnEmptyStoresSendsEmptySourcesSendersAndConnectionsInThatOrder) {
    EXPECT_EQ(replay(), (Messages{sources("{}"), senders("{}"), connections("[]")}));
}

TEST_F(BridgeMessages, sourceReportsSendTheWholeSortedSourceList) {
    bridge.sourceAdded("HOST (Zeta)", -1);
    bridge.sourceAdded("HOST (Alpha)", 2);
    bridge.sourceChannelsChanged("HOST (Zeta)", 0);
    bridge.sourceRemoved("HOST (Alpha)");
    bridge.sourceRemoved("never reported");
    bridge.sourceChannelsChanged("HOST (Zeta)", 16);
    EXPECT_EQ(log.take(), (Messages{
                              sources(R"j({"HOST (Zeta)":-1})j"),
                              sources(R"j({"HOST (Alpha)":2,"HOST (Zeta)":-1})j"),
                              sources(R"j({"HOST (Alpha)":2,"HOST (Zeta)":0})j"),
                              sources(R"j({"HOST (Zeta)":0})j"),
                              sources(R"j({"HOST (Zeta)":0})j"),
                              sources(R"j({"HOST (Zeta)":16})j"),
                          }));
}

TEST_F(BridgeMessages, sourcesReportedFromTwoThreadsAtOnceBothReachTheNextMessage) {
    std::thread first([this] { bridge.sourceAdded("A (one)", 2); });
    std::thread second([this] { bridge.sourceAdded("B (two)", 4); });
    first.join();
    second.join();
    ASSERT_TRUE(log.waitFor(2));
    EXPECT_EQ(log.take().back(), sources(R"j({"A (one)":2,"B (two)":4})j"));
}

TEST_F(BridgeMessages, delayReportCarriesSignedMilliseconds) {
    bridge.senderDelayChanged("Zelka Sender 1", 250);
    bridge.senderDelayChanged("Zelka Sender 2", -2000);
    EXPECT_EQ(
        log.take(),
        (Messages{{QStringLiteral("setAVDelaySignal"), R"j({"senderDelay":250,"senderName":"Zelka Sender 1"})j"},
                  {QStringLiteral("setAVDelaySignal"), R"j({"senderDelay":-2000,"senderName":"Zelka Sender 2"})j"}}));
}

TEST_F(BridgeMessages, sendersReportListsConnectedChannelsAndVideoButNeverMonitorVideo) {
    const ChannelMapping unconnected;
    SenderChannelMappings mappings{
        {"Monitor", {ChannelMapping{1, "HOST (Cam)"}, unconnected}},
        {"Out", {unconnected, ChannelMapping{5, "HOST (Cam)"}, ChannelMapping{0, "HOST (Mic)"}}},
        {"Quiet", {unconnected, unconnected}},
    };
    SenderVideoSources videoSources{{"Out", "HOST (Cam)"}};

    bridge.sendersChanged(mappings, videoSources);

    EXPECT_EQ(
        log.take(),
        (Messages{
            senders(R"j({"Monitor":2,"Out":3,"Quiet":2})j"),
            connections(
                R"j([{"senderChannel":0,"senderName":"Monitor","sourceChannel":1,"sourceName":"HOST (Cam)"},)j"
                R"j({"senderChannel":1,"senderName":"Out","sourceChannel":5,"sourceName":"HOST (Cam)"},)j"
                R"j({"senderChannel":2,"senderName":"Out","sourceChannel":0,"sourceName":"HOST (Mic)"},)j"
                R"j({"senderChannel":"Video","senderName":"Out","sourceChannel":"Video","sourceName":"HOST (Cam)"}])j")}));
    // A sender without a video entry gains an empty one; "Monitor" never does.
    EXPECT_EQ(videoSources, (SenderVideoSources{{"Out", "HOST (Cam)"}, {"Quiet", ""}}));
}

TEST_F(BridgeMessages, slotEditsShowInTheReplayUntilTheNextSendersReportReplacesThem) {
    bridge.sourceAdded("HOST (Cam)", 2);
    bridge.senderAdded(QStringLiteral("Out"), 2);
    bridge.connectionAdded(QStringLiteral("HOST (Cam)"), 1, QStringLiteral("Out"), 0);
    bridge.connectionAdded(QStringLiteral("HOST (Cam)"), 1, QStringLiteral("Out"), 0);
    bridge.connectionAdded(QStringLiteral("HOST (Cam)"), 0, QStringLiteral("Out"), 1);
    bridge.videoConnectionAdded(QStringLiteral("HOST (Cam)"), QStringLiteral("Out"));
    // One of the two equal copies goes; removing what is not there changes nothing.
    bridge.connectionRemoved(QStringLiteral("HOST (Cam)"), 1, QStringLiteral("Out"), 0);
    bridge.connectionRemoved(QStringLiteral("HOST (Cam)"), 7, QStringLiteral("Out"), 0);
    bridge.senderAdded(QStringLiteral("Gone"), 1);
    bridge.senderRemoved(QStringLiteral("Gone"));
    EXPECT_EQ(log.take().size(), 1u) << "slots send nothing themselves";

    EXPECT_EQ(
        replay(),
        (Messages{
            sources(R"j({"HOST (Cam)":2})j"), senders(R"j({"Out":2})j"),
            connections(
                R"j([{"senderChannel":0,"senderName":"Out","sourceChannel":1,"sourceName":"HOST (Cam)"},)j"
                R"j({"senderChannel":1,"senderName":"Out","sourceChannel":0,"sourceName":"HOST (Cam)"},)j"
                R"j({"senderChannel":"Video","senderName":"Out","sourceChannel":"Video","sourceName":"HOST (Cam)"}])j")}));

    bridge.videoConnectionRemoved(QStringLiteral("HOST (Cam)"), QStringLiteral("Out"));
    EXPECT_EQ(replay().back(),
              connections(R"j([{"senderChannel":0,"senderName":"Out","sourceChannel":1,"sourceName":"HOST (Cam)"},)j"
                          R"j({"senderChannel":1,"senderName":"Out","sourceChannel":0,"sourceName":"HOST (Cam)"}])j"));

    SenderVideoSources noVideo;
    bridge.sendersChanged({{"Other", {ChannelMapping{}}}}, noVideo);
    EXPECT_EQ(replay(), (Messages{sources(R"j({"HOST (Cam)":2})j"), senders(R"j({"Other":1})j"), connections("[]")}));
}

TEST_F(BridgeMessages, sendersOutsideTheEngineLimitsReachNeitherTheEngineNorTheStore) {
    const int limit = int(EngineLimits::kMaxSenderChannels);
    for (int refused : {-1, INT_MIN, limit + 1, INT_MAX})
        bridge.senderAdded(QStringLiteral("Refused %1").arg(refused), refused);
    bridge.senderAdded(QString(), 2);
    bridge.senderAdded(QString(qsizetype(EngineLimits::kMaxNameBytes) + 1, QLatin1Char('R')), 2);
    bridge.senderAdded(QStringLiteral("Video only"), 0);
    bridge.senderAdded(QStringLiteral("Widest"), limit);
    EXPECT_EQ(replay()[1], senders(R"j({"Video only":0,"Widest":64})j"));

    engine.clock->tick();
    std::map<std::string, std::size_t> channels;
    for (const AudioController::SenderState& sender : bridge.audioEngine().routingSnapshot())
        channels[sender.name] = sender.mappings.size();
    EXPECT_EQ(channels.erase("Video only"), 1u);
    EXPECT_EQ(channels.erase("Widest"), 1u);
    for (const auto& [name, count] : channels)
        EXPECT_TRUE(name.starts_with("Zelka Sender")) << name.substr(0, 20) << " reached the engine";
}

TEST_F(BridgeMessages, negativeChannelNumbersOfALinkAreRefused) {
    bridge.connectionAdded(QStringLiteral("HOST (Cam)"), -1, QStringLiteral("Out"), 0);
    bridge.connectionAdded(QStringLiteral("HOST (Cam)"), 0, QStringLiteral("Out"), -3);
    EXPECT_EQ(replay().back(), connections("[]"));
}

TEST_F(BridgeMessages, propertiesReadOnceByThePageHoldProductTitleAndVersions) {
    EXPECT_EQ(bridge.property("getTitle").toString(), QStringLiteral("Quorvane"));
    EXPECT_EQ(bridge.property("productVersion").toString(), QStringLiteral("1.5.2"));
    EXPECT_FALSE(bridge.property("ndiLibVersion").toString().contains(QLatin1Char(' ')));
    EXPECT_EQ(bridge.property("ndiRuntime").toString(),
              QStringLiteral("Quorvane NDI runtime 1.0.0, built-in, advanced"));
    EXPECT_EQ(bridge.property("webUIControllerWebChannel").value<QObject*>(), bridge.channel());
}

TEST(BridgeVersion, ndiVersionIsTheLastWordOfTheRuntimeText) {
    EXPECT_EQ(QMLWrapper::versionNumber("NDI SDK LINUX 5.6.1"), QStringLiteral("5.6.1"));
    EXPECT_EQ(QMLWrapper::versionNumber("5.6.1"), QStringLiteral("5.6.1"));
    EXPECT_EQ(QMLWrapper::versionNumber("NDI 5.6.1 "), QString());
    EXPECT_EQ(QMLWrapper::versionNumber(nullptr), QString());
}

} // namespace
