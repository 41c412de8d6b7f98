// An owned TCP socket on the loopback interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ndiruntime {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : _fd(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A listening socket on 127.0.0.1 with a port chosen by the system;
    // invalid on failure (logged).
    static Socket listenLoopback();
    // Connects to 127.0.0.1:port; invalid when nothing listens there.
    static Socket connectLoopback(uint16_t port);

    bool valid() const { return _fd >= 0; }
    int fd() const { return _fd; }
    // The local port of a bound socket, 0 when unknown.
    uint16_t localPort() const;
    bool setNonBlocking();
    // Accepts one pending connection as a non-blocking socket; invalid when none.
    Socket accept();
    // Sends all bytes, waiting at most timeoutMs in total; false on error or timeout.
    bool sendAll(const void* data, size_t size, int timeoutMs);
    void close();

private:
    int _fd = -1;
};

} // namespace ndiruntime
