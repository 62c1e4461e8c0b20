#include "socket_layer/tls_transport.h"

#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"

#include <algorithm>

TlsTransport::TlsTransport(int socket, ssl_ctx_st* context, std::size_t clearBytes)
    : Transport(socket), session_(context), clear_(socket), clearLeft_(clearBytes) {}

void TlsTransport::SetFailure(CloseReason reason, std::string text) {
    failureReason_ = reason;
    failure_ = std::move(text);
}

std::string TlsTransport::HandshakeNote() const {
    return "TLS handshake: " + session_.Description();
}

// Decrypts what was received, reading more ciphertext only when TLS needs it. Handshake bytes
// add nothing to the line buffer.
ReadResult TlsTransport::ReadInto(LineBuffer& input) {
    ReadResult result;
    for (int reads = 0; reads < flow::kTlsReadsPerTurn; ++reads) {
        auto status = TlsSession::Status::NeedInput;
        std::size_t count = 0;
        if (!session_.Established()) {
            status = session_.Handshake();
            if (status == TlsSession::Status::Done) {
                result.handshakeDone = true;
            } else if (status == TlsSession::Status::Failed) {
                SetFailure(CloseReason::TlsFailure, "TLS handshake failed: " + session_.Failure());
            }
        }
        if (session_.Established()) {
            char* area = input.PrepareAppend(flow::kReadChunk);
            status = session_.Read(area, flow::kReadChunk, count);
            input.Commit(count);
            if (status == TlsSession::Status::Failed) {
                SetFailure(CloseReason::TlsFailure, "TLS failed: " + session_.Failure());
            }
        }
        // Handshake messages to send, or output the handshake held back.
        result.wantsFlush = result.wantsFlush || session_.HasPending() || result.handshakeDone;
        if (count > 0) {
            result.status = ReadStatus::Data;
            return result;
        }
        if (status == TlsSession::Status::PeerClosed) {
            result.status = ReadStatus::Ended;
            return result;
        }
        if (status == TlsSession::Status::Failed) {
            // The alert that says why is worth one try; the connection ends either way.
            if (session_.HasPending()) {
                const std::string_view alert = session_.Pending();
                platform::send(socket(), alert.data(), static_cast<int>(alert.size()), 0);
            }
            result.status = ReadStatus::Failed;
            return result;
        }
        char cipher[flow::kTlsReadChunk];
        const int n = platform::recv(socket(), cipher, static_cast<int>(sizeof cipher), 0);
        if (n > 0) {
            session_.Feed(cipher, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            result.status = ReadStatus::Ended;
        } else if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) {
            SetFailure(CloseReason::Reset);
            result.status = ReadStatus::Failed;
        }
        return result;
    }
    return result;
}

// First what still goes out in clear (it was queued before TLS began, and a client may start
// its handshake before it has all of it), then ciphertext. Plaintext is encrypted, once the
// handshake is done, until a batch of ciphertext waits, and only then sent: records made
// together (a session ticket and the greeting, the lines of one reply) leave in one send, not
// one small send each, which the kernel would hold back for an acknowledgement.
FlushResult TlsTransport::Flush(OutputQueue& output) {
    FlushResult result;
    if (clearLeft_ > 0) {
        result = clear_.FlushUpTo(output, clearLeft_);
        if (result.status == FlushStatus::Failed) {
            SetFailure(CloseReason::Reset, clear_.Failure());
        }
        if (result.status != FlushStatus::Done || clearLeft_ > 0) {
            return result;
        }
    }
    while (true) {
        if (session_.Established() && !output.empty() &&
            session_.Pending().size() < flow::kTlsBatch) {
            const std::string_view front = output.Front();
            std::size_t taken = 0;
            const auto status =
                front.empty()
                    ? TlsSession::Status::Failed
                    : session_.Write(front.substr(0, flow::kTlsBatch - session_.Pending().size()),
                                     taken);
            output.Consume(taken);
            if (status == TlsSession::Status::Failed) {
                // An empty front is a file span, which only a plain connection can send.
                SetFailure(CloseReason::TlsFailure,
                           front.empty() ? "TLS failed: a file span on an encrypted connection"
                                         : "TLS failed: " + session_.Failure());
                result.status = FlushStatus::Failed;
                return result;
            }
            continue;
        }
        if (!session_.HasPending()) {
            if (output.empty()) {
                session_.Trim();  // idle until the next reply
                result.status = FlushStatus::Done;
            } else {
                result.status = FlushStatus::Waiting;  // for the handshake
            }
            return result;
        }
        result.status = SendPending(result.progressed);
        if (result.status != FlushStatus::Done) {
            return result;
        }
    }
}

FlushStatus TlsTransport::SendPending(bool& progressed) {
    while (session_.HasPending()) {
        const std::string_view bytes = session_.Pending();
        const int n =
            platform::send(socket(), bytes.data(),
                           static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30)), 0);
        if (n <= 0) {
            if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
                return FlushStatus::Blocked;
            }
            SetFailure(CloseReason::Reset);
            return FlushStatus::Failed;
        }
        session_.Sent(static_cast<std::size_t>(n));
        progressed = true;
    }
    return FlushStatus::Done;
}

// The alert that ends the encrypted stream (once, and only after a finished handshake), then
// the half-close.
FlushStatus TlsTransport::ShutDown() {
    session_.Shutdown();
    bool progressed = false;
    const FlushStatus status = SendPending(progressed);
    if (status == FlushStatus::Done) {
        platform::shutdown(socket(), platform::SD_SEND);
    }
    return status;
}
