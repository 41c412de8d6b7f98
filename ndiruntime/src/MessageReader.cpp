#include "MessageReader.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace ndiruntime {

namespace {
constexpr size_t initialBytes = 64 * 1024;
}

MessageReader::Status MessageReader::parse() {
    if (_size < sizeof(MessageHeader))
        return Status::needMore;
    std::memcpy(&_header, _buffer.data(), sizeof _header);
    if (const char* error = WireFormat::checkHeader(_header)) {
        _error = error;
        return Status::malformed;
    }
    size_t total = sizeof(MessageHeader) + _header.descriptorBytes + _header.payloadBytes;
    if (_buffer.size() < total)
        _buffer.resize(total);
    return _size >= total ? Status::message : Status::needMore;
}

MessageReader::Status MessageReader::poll(int fd) {
    if (_buffer.empty())
        _buffer.resize(initialBytes);
    Status status = parse();
    if (status != Status::needMore)
        return status;
    for (;;) {
        ssize_t got = ::recv(fd, _buffer.data() + _size, _buffer.size() - _size, MSG_DONTWAIT);
        if (got == 0)
            return Status::closed;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Status::needMore : Status::closed;
        }
        _size += static_cast<size_t>(got);
        status = parse();
        if (status != Status::needMore)
            return status;
    }
}

void MessageReader::consume() {
    size_t total = sizeof(MessageHeader) + _header.descriptorBytes + _header.payloadBytes;
    std::memmove(_buffer.data(), _buffer.data() + total, _size - total);
    _size -= total;
}

void MessageReader::reset() {
    _size = 0;
    _error = nullptr;
    // A connection that carried large pictures does not keep their buffer after it closed.
    _buffer = std::vector<uint8_t>();
}

} // namespace ndiruntime
