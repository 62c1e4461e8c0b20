#pragma once
// Bytes as they are: received bytes go to the line buffer, queued bytes to the socket, and file
// spans to the socket by sendfile.

#include "socket_layer/transport.h"

#include <cstddef>

class PlainTransport final : public Transport {
public:
    explicit PlainTransport(int socket) : Transport(socket) {}

    ReadResult ReadInto(LineBuffer& input) override;
    FlushResult Flush(OutputQueue& output) override;
    // Flush, of at most the first `budget` bytes queued; `budget` is counted down by what went.
    FlushResult FlushUpTo(OutputQueue& output, std::size_t& budget);
    FlushStatus ShutDown() override;
    bool HasPending() const override { return false; }
    bool CanSendFile() const override { return true; }
    bool Encrypted() const override { return false; }
    std::string Failure() const override { return failure_; }

private:
    const char* failure_ = "";  // held by every idle connection: no string of its own
};
