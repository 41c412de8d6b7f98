#include "WakeEvent.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace ndiruntime {

WakeEvent::WakeEvent() : _fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
    if (_fd >= 0)
        ::close(_fd);
}

void WakeEvent::signal() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(_fd, &one, sizeof one);
}

void WakeEvent::clear() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(_fd, &count, sizeof count);
}

} // namespace ndiruntime
