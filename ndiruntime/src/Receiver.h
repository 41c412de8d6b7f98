// One receiver: a thread that finds its source in the registry, connects to
// it, reads its frames and hands them to the attached frame-sync or, when
// there is none, to bounded queues that capture() empties. It reconnects by
// itself whenever the source goes and comes back.
#pragma once

#include "AudioBlock.h"
#include "MessageReader.h"
#include "NDIlib.h"
#include "Registry.h"
#include "Socket.h"
#include "VideoPicture.h"
#include "WakeEvent.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ndiruntime {

class FrameSync;

class Receiver {
public:
    // Null without a source name (logged).
    static std::unique_ptr<Receiver> create(const NDIlib_recv_create_v3_t& settings, const char* config);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    struct Captured {
        NDIlib_frame_type_e type = NDIlib_frame_type_none;
        std::unique_ptr<AudioBlock> audio;
        std::shared_ptr<const VideoPicture> video;
    };
    // Waits at most timeoutMs for the status change that follows a connection
    // or for the oldest queued frame of a kind asked for. The capturing thread.
    Captured capture(bool wantVideo, bool wantAudio, uint32_t timeoutMs);

    // Audio blocks lent out by the C interface until they are freed. Any thread.
    float* lendAudio(std::unique_ptr<AudioBlock> block);
    void giveBackAudio(const void* data);

    // While a frame-sync is attached it receives every frame instead of the queues.
    void attach(FrameSync* frameSync);
    void detach(FrameSync* frameSync);

    const std::string& sourceName() const { return _sourceName; }

private:
    Receiver(std::string sourceName, uint32_t flags);
    void run();
    // Connects to the named sender and waits for its welcome; invalid on failure.
    Socket connect(const RegistryEntry& entry);
    // Reads frames until the connection ends or the receiver stops.
    void serve(Socket& socket);
    // False when the message is malformed (logged).
    bool handle(const MessageHeader& header, const uint8_t* descriptor, const uint8_t* payload);
    bool waitForStop(int milliseconds);

    const std::string _sourceName;
    const uint32_t _flags;
    Registry _registry;
    MessageReader _reader; // the receiver thread's alone
    // A picture rate outside the accepted ones was logged on this connection
    // (the receiver thread's alone).
    bool _implausibleRateReported = false;
    WakeEvent _wake;
    std::atomic<bool> _stop{false};

    std::mutex _sinkMutex; // guards _sink; held while a frame is handed to it
    FrameSync* _sink = nullptr;

    std::mutex _queueMutex; // guards the queues, the status flag and the sequence number
    std::condition_variable _queueChanged;
    bool _statusChanged = false;
    uint64_t _sequence = 0;
    std::deque<std::pair<uint64_t, std::unique_ptr<AudioBlock>>> _audioQueue;
    std::deque<std::pair<uint64_t, std::shared_ptr<const VideoPicture>>> _videoQueue;

    std::mutex _lentMutex; // guards _lentAudio
    std::map<const void*, std::unique_ptr<AudioBlock>> _lentAudio;

    std::thread _thread;
};

} // namespace ndiruntime
