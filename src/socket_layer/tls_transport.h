#pragma once
// Bytes through TLS: received ciphertext is decrypted into the line buffer, queued plaintext is
// encrypted a batch at a time and sent. The bytes queued before TLS began still go out as
// they are first, through a plain transport of the same socket.

#include "socket_layer/plain_transport.h"
#include "socket_layer/tls_session.h"

#include <cstddef>

class TlsTransport final : public Transport {
public:
    // The server side of TLS on `socket`, whose first `clearBytes` queued bytes go out in clear.
    TlsTransport(int socket, ssl_ctx_st* context, std::size_t clearBytes);

    ReadResult ReadInto(LineBuffer& input) override;
    FlushResult Flush(OutputQueue& output) override;
    FlushStatus ShutDown() override;
    bool HasPending() const override { return session_.HasPending(); }
    bool CanSendFile() const override { return false; }
    bool Encrypted() const override { return true; }
    bool InHandshake() const override { return !session_.Established(); }
    std::string Failure() const override { return failure_; }
    CloseReason FailureReason() const override { return failureReason_; }
    std::string HandshakeNote() const override;

private:
    // Records why the connection fails (empty `text`: nothing worth tracing).
    void SetFailure(CloseReason reason, std::string text = {});
    // Sends the ciphertext that waits; Done once none does.
    FlushStatus SendPending(bool& progressed);

    TlsSession session_;
    PlainTransport clear_;
    std::size_t clearLeft_;
    std::string failure_;
    CloseReason failureReason_ = CloseReason::Reset;
};
