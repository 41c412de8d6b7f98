#include "Socket.h"

#include "Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace ndiruntime {

namespace {

sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

Socket::~Socket() {
    close();
}

Socket::Socket(Socket&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        _fd = std::exchange(other._fd, -1);
    }
    return *this;
}

Socket Socket::listenLoopback() {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        logLine("cannot create a socket: %s", std::strerror(errno));
        return {};
    }
    sockaddr_in address = loopbackAddress(0);
    if (::bind(socket._fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket._fd, 16) != 0) {
        logLine("cannot listen on the loopback interface: %s", std::strerror(errno));
        return {};
    }
    return socket;
}

Socket Socket::connectLoopback(uint16_t port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return {};
    sockaddr_in address = loopbackAddress(port);
    if (::connect(socket._fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    setNoDelay(socket._fd);
    return socket;
}

uint16_t Socket::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool Socket::setNonBlocking() {
    int flags = ::fcntl(_fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(_fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

Socket Socket::accept() {
    Socket peer(::accept4(_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (peer.valid())
        setNoDelay(peer._fd);
    return peer;
}

bool Socket::sendAll(const void* data, size_t size, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t sent = ::send(_fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{_fd, POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(left.count()));
    }
    return true;
}

void Socket::close() {
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

} // namespace ndiruntime
