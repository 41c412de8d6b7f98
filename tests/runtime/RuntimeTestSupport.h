// Helpers for the runtime's tests: an isolated sender directory per test,
// peer processes, and waiting for a condition with a generous limit.
#pragma once

#include "NDIlib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace RuntimeTestSupport {

// Polls `condition` every 20 ms until it holds or `limit` has passed.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::vector<std::string> sourceNames(NDIlib_find_instance_t finder) {
    uint32_t count = 0;
    const NDIlib_source_v2_t* sources = NDIlib_find_get_current_sources_v2(finder, &count);
    std::vector<std::string> names;
    for (uint32_t index = 0; index < count; ++index)
        names.emplace_back(sources[index].p_ndi_name);
    return names;
}

inline bool lists(NDIlib_find_instance_t finder, const std::string& name) {
    for (const auto& listed : sourceNames(finder))
        if (listed == name)
            return true;
    return false;
}

inline std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string host = name;
    for (char& c : host)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return host;
}

// Gives each test a sender directory of its own, so that tests running side
// by side never see each other's senders.
class IsolatedRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-ndi-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _directory = pattern;
        setenv("QUORVANE_NDI_DIR", _directory.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUORVANE_NDI_DIR");
        std::filesystem::remove_all(_directory);
    }
    const std::string& directory() const { return _directory; }

private:
    std::string _directory;
};

// A sender in a process of its own (the peer executable).
class Peer {
public:
    explicit Peer(const std::vector<std::string>& arguments) {
        std::vector<std::string> all{QUORVANE_RUNTIME_PEER};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : all)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        if (posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        _output = fdopen(fds[0], "r");
    }
    ~Peer() {
        kill(SIGKILL);
        if (_output)
            fclose(_output);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // True once the peer has published its sender.
    bool ready() {
        char line[64] = {};
        return _pid > 0 && _output && fgets(line, sizeof line, _output) && std::string(line) == "ready\n";
    }
    void kill(int signal) {
        if (_pid > 0) {
            ::kill(_pid, signal);
            waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
    }
    bool running() const { return _pid > 0 && waitpid(_pid, nullptr, WNOHANG) == 0; }

private:
    pid_t _pid = -1;
    FILE* _output = nullptr;
};

} // namespace RuntimeTestSupport
