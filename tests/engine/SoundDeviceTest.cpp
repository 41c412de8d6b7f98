#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A dummy JACK server of the test's own (no sound card needed): JUCE sees it as
// a real "JACK" device.
class DummyJackServer {
public:
    DummyJackServer() : _name("quorvane-engine-" + std::to_string(getpid())) {
        std::string server = "-n" + _name;
        _pid = fork();
        if (_pid == 0) {
            // The server ends with the test process, even one that aborts; its
            // chatter (x-runs while a loaded file pauses a block) stays out of the log.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execlp("jackd", "jackd", server.c_str(), "-ddummy", "-r48000", "-p512", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~DummyJackServer() {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            waitpid(_pid, nullptr, 0);
        }
    }
    const std::string& name() const { return _name; }
    bool started() const { return _pid > 0; }

private:
    std::string _name;
    pid_t _pid = -1;
};

// Records the device's two outputs ("JUCEJack:out_1" and "out_2").
class OutputRecorder {
public:
    static constexpr size_t kFrames = 48000 * 30;

    bool open(const std::string& server) {
        jack_status_t status{};
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (_client == nullptr && std::chrono::steady_clock::now() < end) {
            _client =
                jack_client_open("quorvane-recorder", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                 &status, server.c_str());
            if (_client == nullptr) {
                std::this_thread::sleep_for(100ms);
            }
        }
        if (_client == nullptr) {
            return false;
        }
        for (size_t i = 0; i < _ports.size(); ++i) {
            _ports[i] = jack_port_register(_client, ("in_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsInput, 0);
            _samples[i].resize(kFrames);
        }
        jack_set_process_callback(_client, &OutputRecorder::process, this);
        return jack_activate(_client) == 0;
    }
    bool connect() {
        return jack_connect(_client, "JUCEJack:out_1", jack_port_name(_ports[0])) == 0 &&
               jack_connect(_client, "JUCEJack:out_2", jack_port_name(_ports[1])) == 0;
    }
    bool disconnect() {
        return jack_disconnect(_client, "JUCEJack:out_1", jack_port_name(_ports[0])) == 0 &&
               jack_disconnect(_client, "JUCEJack:out_2", jack_port_name(_ports[1])) == 0;
    }
    ~OutputRecorder() {
        if (_client != nullptr) {
            jack_client_close(_client);
        }
    }
    // The last `frames` recorded samples of output `index` (0 or 1).
    std::vector<float> last(size_t index, size_t frames) const {
        const size_t end = _written.load(std::memory_order_acquire);
        const size_t from = end > frames ? end - frames : 0;
        return std::vector<float>(_samples[index].begin() + static_cast<ptrdiff_t>(from),
                                  _samples[index].begin() + static_cast<ptrdiff_t>(end));
    }

private:
    static int process(jack_nframes_t frames, void* argument) {
        auto* self = static_cast<OutputRecorder*>(argument);
        const size_t at = self->_written.load(std::memory_order_relaxed);
        const size_t count = std::min<size_t>(frames, kFrames - at);
        for (size_t i = 0; i < self->_ports.size(); ++i) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->_ports[i], frames));
            std::copy_n(in, count, self->_samples[i].begin() + static_cast<ptrdiff_t>(at));
        }
        self->_written.store(at + count, std::memory_order_release);
        return 0;
    }

    jack_client_t* _client = nullptr;
    std::array<jack_port_t*, 2> _ports{};
    std::array<std::vector<float>, 2> _samples;
    std::atomic<size_t> _written{0};
};

bool constantAt(const std::vector<float>& samples, float level) {
    return !samples.empty() &&
           std::all_of(samples.begin(), samples.end(), [level](float s) { return std::abs(s - level) < 1e-3f; });
}

} // namespace

// A controller on a dummy JACK server of the test's own, with a recorder
// client that can connect to the device's outputs.
class SoundDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.started() || !recorder.open(server.name())) {
            GTEST_SKIP() << "jackd could not be started";
        }
        setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
        controller = std::make_unique<AudioController>(&listener);
        ASSERT_TRUE(AudioControllerTestAccess::hasAudioDevice(*controller));
    }

    EngineEnvironment environment;
    DummyJackServer server;
    OutputRecorder recorder;
    RecordingListener listener;
    std::unique_ptr<AudioController> controller;
};

// With a sound device: the three default senders and a 2-channel "Monitor";
// the device's outputs carry exactly the Monitor channels, and an output that
// Monitor does not fill is silent. About 10 s.
TEST_F(SoundDevice, monitorPlaysTheRoutedSourceChannelAndNothingElse) {
    std::map<std::string, size_t> channels;
    for (const auto& sender : controller->routingSnapshot()) {
        channels[sender.name] = sender.mappings.size();
    }
    EXPECT_EQ(channels, (std::map<std::string, size_t>{
                            {"Monitor", 2}, {"Zelka Sender 1", 4}, {"Zelka Sender 2", 2}, {"Zelka Sender 3", 6}}));
    ASSERT_TRUE(recorder.connect());

    ConstantSource source("JackTone", 2);
    controller->openStartGateAfter(0ms);
    controller->addConnection(source.name(), 1, "Monitor", 0);
    controller->addConnection(source.name(), 0, "Monitor", 1);
    const auto waitFor = [&](float left, float right) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(100ms);
            if (constantAt(recorder.last(0, 2048), left) && constantAt(recorder.last(1, 2048), right)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(waitFor(ConstantSource::level(1), ConstantSource::level(0)));

    // A 1-channel Monitor leaves the second output to the device layer, which
    // writes silence there rather than whatever the buffer held.
    const auto file = environment.root() / "mono.zelkac";
    EngineEnvironment::writeFile(file, R"json([{"senderName": "Monitor", "senderChannelMappings":
        [{"sourceChannel": 1, "sourceName": "QTESTHOST (JackTone)"}]}])json");
    ASSERT_TRUE(controller->loadChannelMappings(file.string()));
    EXPECT_TRUE(waitFor(ConstantSource::level(0), 0.0f));
    const auto right = recorder.last(1, 2048);
    EXPECT_TRUE(std::all_of(right.begin(), right.end(), [](float s) { return s == 0.0f; }));
    controller.reset();
}

// JACK reports port connections on a thread of its own. JUCE's JACK device
// handles them right there only when that thread is JUCE's message thread,
// which it became when nothing had claimed the role before: the device was then
// restarted and its type's listener list walked on two threads at once, which
// crashed the program at shutdown. The thread that makes the controller (the
// GUI thread) must hold the role from the start, whatever JACK reports.
TEST_F(SoundDevice, jackNotificationsNeverTakeJuceMessageThread) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(recorder.connect());
        ASSERT_TRUE(recorder.disconnect());
    }
    // The notifications are delivered asynchronously; give them time to arrive.
    std::this_thread::sleep_for(300ms);
    auto* messageManager = juce::MessageManager::getInstanceWithoutCreating();
    ASSERT_NE(messageManager, nullptr);
    EXPECT_TRUE(messageManager->isThisTheMessageThread());
    controller.reset();
    EXPECT_EQ(juce::MessageManager::getInstanceWithoutCreating(), nullptr) << "JUCE is shut down with the controller";
}
