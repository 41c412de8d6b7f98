// Senders of one process are found by finders of another, and vanish when
// destroyed or killed. Each test has a sender directory of its own.
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using RuntimeTestSupport::lists;
using RuntimeTestSupport::Peer;
using RuntimeTestSupport::waitUntil;

class Discovery : public RuntimeTestSupport::IsolatedRuntime {
protected:
    void SetUp() override {
        IsolatedRuntime::SetUp();
        finder = NDIlib_find_create_v3(nullptr, nullptr);
        ASSERT_NE(finder, nullptr);
    }
    void TearDown() override {
        NDIlib_find_destroy(finder);
        IsolatedRuntime::TearDown();
    }
    NDIlib_find_instance_t finder = nullptr;
};

// The limits are generous; the figures themselves are the benchmark's.
TEST_F(Discovery, senderOfAnotherProcessAppearsAndVanishesAfterDestroy) {
    Peer peer({"Short Lived", "--seconds", "1.5", "--linger", "30"});
    ASSERT_TRUE(peer.ready());
    const std::string name = RuntimeTestSupport::hostName() + " (Short Lived)";
    EXPECT_TRUE(waitUntil([&] { return lists(finder, name); }, 3s));
    EXPECT_TRUE(waitUntil([&] { return !lists(finder, name); }, 5s));
    EXPECT_TRUE(peer.running()) << "the sender vanished because its process ended, not because it was destroyed";
}

TEST_F(Discovery, senderOfAKilledProcessVanishes) {
    Peer peer({"Killed"});
    ASSERT_TRUE(peer.ready());
    const std::string name = RuntimeTestSupport::hostName() + " (Killed)";
    ASSERT_TRUE(waitUntil([&] { return lists(finder, name); }, 3s));
    peer.kill(SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return !lists(finder, name); }, 10s));
}

TEST_F(Discovery, ownSendersAreListedUnderTheHostNameOrTheConfiguredOne) {
    NDIlib_send_create_t settings{"Own", nullptr, true, false};
    NDIlib_send_instance_t own = NDIlib_send_create_v2(&settings, nullptr);
    NDIlib_send_instance_t other = NDIlib_send_create_v2(&settings, R"({"host": "ELSEWHERE", "unknown": [1, 2]})");
    ASSERT_NE(own, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(waitUntil([&] { return lists(finder, RuntimeTestSupport::hostName() + " (Own)"); }, 3s));
    EXPECT_TRUE(waitUntil([&] { return lists(finder, "ELSEWHERE (Own)"); }, 3s));
    NDIlib_send_destroy(other);
    NDIlib_send_destroy(own);
}

TEST_F(Discovery, aListIsSortedAndHoldsEachNameOnce) {
    std::vector<NDIlib_send_instance_t> senders;
    for (const char* stream : {"b", "a", "b"}) {
        NDIlib_send_create_t settings{stream, nullptr, true, false};
        senders.push_back(NDIlib_send_create_v2(&settings, nullptr));
    }
    const std::string host = RuntimeTestSupport::hostName();
    ASSERT_TRUE(waitUntil([&] { return RuntimeTestSupport::sourceNames(finder).size() == 2; }, 3s));
    EXPECT_EQ(RuntimeTestSupport::sourceNames(finder), (std::vector<std::string>{host + " (a)", host + " (b)"}));
    for (auto sender : senders)
        NDIlib_send_destroy(sender);
}

TEST_F(Discovery, staleAndForeignFilesInTheDirectoryAreIgnored) {
    auto write = [&](const std::string& file, const std::string& text) {
        FILE* out = std::fopen((directory() + "/" + file).c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs(text.c_str(), out);
        std::fclose(out);
    };
    // A dead process (pid 2^22 + 1 is above any pid this system hands out), broken
    // JSON, wrong types and a name without meaning to this runtime.
    write("1-0.json", R"json({"name": "X (dead)", "port": 1, "pid": 4194305})json");
    write("2-0.json", R"json({"name": "X (broken)", )json");
    write("3-0.json", R"json({"name": 7, "port": "a", "pid": 1})json");
    write("4-0.json", R"json([1, 2, 3])json");
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(RuntimeTestSupport::sourceNames(finder).empty());
}
