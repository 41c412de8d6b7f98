// Collects the bytes that arrive on a non-blocking socket into whole messages,
// refusing a malformed header before its payload is read, so that memory stays
// bounded by the largest valid message.
#pragma once

#include "WireFormat.h"

#include <cstdint>
#include <vector>

namespace ndiruntime {

class MessageReader {
public:
    enum class Status { message, needMore, closed, malformed };

    // Reads what the socket holds and reports whether a whole message is there.
    // After a message, the caller reads header(), descriptor() and payload()
    // and then calls consume(). The thread that owns the socket.
    Status poll(int fd);
    // The reason of the last malformed status.
    const char* error() const { return _error; }

    const MessageHeader& header() const { return _header; }
    const uint8_t* descriptor() const { return _buffer.data() + sizeof(MessageHeader); }
    const uint8_t* payload() const { return descriptor() + _header.descriptorBytes; }
    void consume();
    void reset();

private:
    Status parse();

    std::vector<uint8_t> _buffer;
    size_t _size = 0;
    MessageHeader _header{};
    const char* _error = nullptr;
};

} // namespace ndiruntime
