// Collects the bytes that arrive on a non-blocking socket into whole messages,
// refusing a malformed header before its payload is read. Memory follows the
// bytes that arrived (at most twice them, plus a small first buffer), not the
// size a header announces: a peer that announces a large message and then
// stalls costs only what it sent.
#pragma once

#include "WireFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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
    // Forgets what was read, and what was accepted: every kind is again.
    void reset();

    // Until acceptAll(), a message of another kind is malformed: before its
    // greeting a peer may only send a greeting-sized message.
    void acceptOnly(MessageKind kind) { _only = kind; }
    void acceptAll() { _only.reset(); }

    // The bytes this reader holds for its connection.
    size_t heldBytes() const { return _buffer.size(); }

private:
    Status parse();
    // Makes room for more bytes of the current message once the buffer is full.
    void grow();

    std::vector<uint8_t> _buffer;
    size_t _size = 0;
    MessageHeader _header{};
    size_t _total = 0; // of the message being read, once its header arrived
    std::optional<MessageKind> _only;
    const char* _error = nullptr;
};

} // namespace ndiruntime
