// A counter that one thread signals to wake another from poll (an eventfd).
#pragma once

namespace ndiruntime {

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool valid() const { return _fd >= 0; }
    // The descriptor to poll for reading.
    int fd() const { return _fd; }
    // Any thread, the audio thread included: one non-blocking write, no allocation.
    void signal();
    // Clears pending signals; the thread that polls.
    void clear();

private:
    int _fd = -1;
};

} // namespace ndiruntime
