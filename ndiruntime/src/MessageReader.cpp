#include "MessageReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace ndiruntime {

namespace {
// Holds a greeting, or the header and descriptor of any message.
constexpr size_t initialBytes = 4 * 1024;
} // namespace

MessageReader::Status MessageReader::parse() {
    _total = 0;
    if (_size < sizeof(MessageHeader))
        return Status::needMore;
    std::memcpy(&_header, _buffer.data(), sizeof _header);
    if (const char* error = WireFormat::checkHeader(_header)) {
        _error = error;
        return Status::malformed;
    }
    if (_only && _header.kind != static_cast<uint16_t>(*_only)) {
        _error = "a message other than the greeting came first";
        return Status::malformed;
    }
    _total = sizeof(MessageHeader) + _header.descriptorBytes + _header.payloadBytes;
    return _size >= _total ? Status::message : Status::needMore;
}

void MessageReader::grow() {
    if (_size < _buffer.size())
        return;
    // Doubling keeps the copies few; the announced size only caps the growth.
    const size_t wanted = _total > _buffer.size() ? _total : _buffer.size() + initialBytes;
    _buffer.resize(std::min(wanted, 2 * _buffer.size()));
}

MessageReader::Status MessageReader::poll(int fd) {
    if (_buffer.empty())
        _buffer.resize(initialBytes);
    Status status = parse();
    if (status != Status::needMore)
        return status;
    for (;;) {
        grow();
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
    std::memmove(_buffer.data(), _buffer.data() + _total, _size - _total);
    _size -= _total;
    _total = 0;
}

void MessageReader::reset() {
    _size = 0;
    _total = 0;
    _only.reset();
    _error = nullptr;
    // A connection that carried large pictures does not keep their buffer after it closed.
    _buffer = std::vector<uint8_t>();
}

} // namespace ndiruntime
