#include "ndi/NDISourceFinder.h"

#include "NdiTestSupport.h"

#include <gtest/gtest.h>

#include "audio/EngineLimits.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cctype>

#include <set>
#include <string>
#include <vector>

namespace {

using nditest::LocalSource;
using nditest::PrivateNdiDir;

class RecordingFinderListener : public NDISourceFinder::Listener {
public:
    void sourcesChanged(const std::set<std::string>& sources) override { notified.push_back(sources); }
    const SenderChannelMappings& channelMappings() override { return own; }

    SenderChannelMappings own{{"Zelka Sender 1", {}}, {"Monitor", {}}};
    std::vector<std::set<std::string>> notified;
};

// Collects warnings so a test can count the log lines a name causes; other
// messages are dropped so that standard error shows the finder's own lines.
std::vector<std::string> warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg) {
        warnings.push_back(message.toStdString());
    }
}

class SourceFinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        warnings.clear();
        previousHandler = qInstallMessageHandler(collectWarnings);
        finderRunning = true;
        makeFinder();
    }
    void TearDown() override {
        finderRunning = false;
        qInstallMessageHandler(previousHandler);
    }
    void makeFinder() {
        finder = std::make_unique<NDISourceFinder>();
        finder->setListener(&listener, &tablesMutex);
    }

    // Feeds the finder one refresh worth of names; null entries stay null.
    std::string refreshWith(const std::vector<const char*>& names) {
        testing::internal::CaptureStderr();
        finder->applySources(names);
        return testing::internal::GetCapturedStderr();
    }

    PrivateNdiDir dir;
    std::mutex tablesMutex;
    RecordingFinderListener listener;
    std::unique_ptr<NDISourceFinder> finder;
    QtMessageHandler previousHandler = nullptr;
};

TEST(SourceFinderNames, ownSendersOfThisHostAreLeftOutOthersListed) {
    const SenderChannelMappings own{{"Zelka Sender 1", {}}, {"Monitor", {}}};
    const std::string longName = "OTHER (" + std::string(65536, 'x') + ")";
    const struct {
        std::string name;
        bool listed;
    } cases[] = {
        {"MYHOST (Zelka Sender 1)", false},
        {"myhost (Zelka Sender 1)", false}, // host parts are compared upper-cased
        {"MyHost (Monitor)", false},
        {"OTHERHOST (Zelka Sender 1)", true},
        {"MYHOST (Camera 1)", true},
        {"MYHOST (zelka sender 1)", true}, // stream names are compared byte for byte
        {"MYHOST Zelka Sender 1", false},  // no parentheses
        {"MYHOST (Zelka Sender 1", false},
        {"MYHOST Zelka Sender 1)", false},
        {"", false},
        {"(Zelka Sender 1)", true},        // no host part at all
        {"MYHOST )Zelka Sender 1(", true}, // ")" before "(": the stream part runs to the end
        {"\xff\xfe\x80 (\xc3\x28)", true}, // invalid UTF-8
        {"<b>\"MYHOST\"</b> (<script>'x'</script>)", true},
        {longName, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NDISourceFinder::isListed(c.name, "MYHOST", own), c.listed) << c.name.substr(0, 60);
    }
}

TEST_F(SourceFinderTest, notifiesSortedSetOnlyWhenItChanges) {
    EXPECT_EQ(refreshWith({"B (two)", "A (one)", "B (two)"}), "set changed\n");
    ASSERT_EQ(listener.notified.size(), 1u);
    EXPECT_EQ(listener.notified[0], (std::set<std::string>{"A (one)", "B (two)"}));
    EXPECT_EQ(finder->sourcesSnapshot(), listener.notified[0]);

    EXPECT_EQ(refreshWith({"A (one)", "B (two)"}), "");
    EXPECT_EQ(listener.notified.size(), 1u);

    EXPECT_EQ(refreshWith({}), "set changed\n");
    ASSERT_EQ(listener.notified.size(), 2u);
    EXPECT_TRUE(listener.notified[1].empty());
}

TEST_F(SourceFinderTest, hostileNamesAreSkippedAndTooLongOnesLoggedOnce) {
    const std::string tooLong = "OTHER (" + std::string(65536, 'x') + ")";
    const std::string atLimit = "OTHER (" + std::string(EngineLimits::kMaxNameBytes - 8, 'y') + ")";
    const std::vector<const char*> names{nullptr, "", tooLong.c_str(), atLimit.c_str(), "\xff (\x01\n<>\")"};
    refreshWith(names);
    refreshWith(names);

    EXPECT_EQ(finder->sourcesSnapshot(), (std::set<std::string>{atLimit, "\xff (\x01\n<>\")"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("65544 bytes"), std::string::npos) << warnings[0];

    testing::internal::CaptureStderr();
    finder->writeSources();
    const std::string listing = testing::internal::GetCapturedStderr();
    // One line per name: control bytes in a name cannot start a new line.
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 2);
    EXPECT_NE(listing.find("\xff (\\x01\\x0a<>\")\n"), std::string::npos);
}

TEST_F(SourceFinderTest, seesNetworkSourcesButNotOurOwnPublishedSenders) {
    const std::string lowerHost = nditest::lowerCased(nditest::localHost());
    LocalSource ours("Zelka Sender 1", LocalSource::audio(2));
    LocalSource oursLowerCase("Monitor", LocalSource::audio(2, lowerHost));
    LocalSource elsewhere("Zelka Sender 1", LocalSource::audio(2, "OTHERHOST"));
    LocalSource camera("Camera", LocalSource::audio(2));

    // Once the runtime lists all four, one refresh must keep exactly two.
    nditest::SourceWatcher watcher;
    ASSERT_TRUE(nditest::eventually([&] { return watcher.names().size() == 4; }));
    makeFinder(); // its first look already sees all four
    testing::internal::CaptureStderr();
    finder->refresh();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(finder->sources(), (std::set<std::string>{elsewhere.name(), camera.name()}));
}

} // namespace
