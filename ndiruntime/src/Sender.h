// One published sender: a listening socket on 127.0.0.1, an entry in the
// registry, and a network thread that hands every frame to the receivers that
// are connected. The calling threads only copy frames; the network thread does
// all socket I/O.
#pragma once

#include "AudioQueue.h"
#include "MessageReader.h"
#include "NDIlib.h"
#include "Pacer.h"
#include "Registry.h"
#include "Socket.h"
#include "WakeEvent.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ndiruntime {

class Sender {
public:
    // Null when the settings have no name or the sender cannot listen (logged).
    // config may hold {"host": "NAME"} to publish under another host name.
    static std::unique_ptr<Sender> create(const NDIlib_send_create_t& settings, const char* config);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // The thread that sends audio (the audio thread): copies the frame into a
    // reused slot and wakes the network thread; never waits for the network
    // and allocates nothing in a steady stream. A full queue drops the frame.
    void sendAudio(const NDIlib_audio_frame_v2_t& frame);
    // The thread that sends video: paced at the frame rate when video clocking
    // is on; copies the picture and returns.
    void sendVideo(const NDIlib_video_frame_v2_t& frame);

    const std::string& name() const { return _name; }
    uint16_t port() const { return _port; }

private:
    using Message = std::shared_ptr<const std::vector<uint8_t>>;
    struct Connection {
        Socket socket;
        MessageReader reader;
        bool greeted = false;
        bool broken = false; // a send failed; closed at the end of the round
        uint32_t flags = 0;
        std::deque<Message> pending;
        size_t offset = 0; // bytes of pending.front() already sent
        size_t pendingBytes = 0;
        uint64_t dropped = 0;
        std::chrono::steady_clock::time_point opened;
    };

    Sender(std::string name, bool clockVideo, bool clockAudio);
    bool start();
    void run();
    void acceptConnections();
    void distribute(const Message& message, uint32_t wantedFlag);
    // False when the connection must be closed.
    bool readFrom(Connection& connection);
    bool flush(Connection& connection);

    const std::string _name;
    const bool _clockVideo;
    const bool _clockAudio;
    Registry _registry;
    std::string _registryFile;
    Socket _listener;
    uint16_t _port = 0;
    WakeEvent _wake;

    AudioQueue _audio;
    Pacer _audioPacer; // the thread that sends audio
    std::atomic<uint64_t> _droppedAudio{0};

    std::mutex _videoMutex; // guards _videoOut between the video thread and the network thread
    std::deque<Message> _videoOut;
    Pacer _videoPacer; // the thread that sends video
    // Pictures at an implausible rate were logged since the last good one (the
    // thread that sends video).
    bool _implausibleRateReported = false;

    // The network thread's alone; entry k matches the poll entry k + 2 of a
    // round, so connections leave only at the end of a round.
    std::vector<std::unique_ptr<Connection>> _connections;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

} // namespace ndiruntime
