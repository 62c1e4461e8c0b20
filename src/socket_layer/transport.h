#pragma once
// How a connection's bytes cross its socket: as they are (PlainTransport) or through TLS
// (TlsTransport). The connection reads lines and queues output the same way over either; only
// the transport knows what travels on the wire.

#include "socket_layer/close_reason.h"
#include "socket_layer/line_buffer.h"
#include "socket_layer/output_queue.h"

#include <string>

enum class ReadStatus {
    Data,     // bytes were added to the line buffer
    Nothing,  // nothing has arrived yet; the socket's readiness brings the next try
    Ended,    // the peer has ended its side
    Failed,   // a reset or an error; Failure() may say why
};

struct ReadResult {
    ReadStatus status = ReadStatus::Nothing;
    // A handshake was finished by this read: HandshakeNote() says how it ended up.
    bool handshakeDone = false;
    // The transport has something to send (its handshake, or output that waited for it).
    bool wantsFlush = false;
};

enum class FlushStatus {
    Done,     // everything queued has gone
    Blocked,  // the socket takes no more now; its FD_WRITE brings the next try
    Waiting,  // the rest waits for the peer to finish a handshake; nothing to send meanwhile
    Failed,   // a reset or an error; Failure() may say why
};

struct FlushResult {
    FlushStatus status = FlushStatus::Done;
    bool progressed = false;  // some byte went out
};

class Transport {
public:
    explicit Transport(int socket) : socket_(socket) {}
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Adds received bytes, as the protocol's plaintext, to `input`.
    virtual ReadResult ReadInto(LineBuffer& input) = 0;
    // Writes as much of `output` as the socket takes, consuming what went.
    virtual FlushResult Flush(OutputQueue& output) = 0;
    // Ends the output once the queue is empty: what ends the stream (TLS: its close alert),
    // then the half-close of the socket. Done once the socket is half-closed; Blocked while
    // the end waits for room. Called again until it is Done.
    virtual FlushStatus ShutDown() = 0;
    // Bytes the transport made and holds beyond the queue (ciphertext not yet sent).
    virtual bool HasPending() const = 0;
    // File spans can leave by sendfile.
    virtual bool CanSendFile() const = 0;
    virtual bool Encrypted() const = 0;
    // An unfinished handshake, which must end within its own time limit.
    virtual bool InHandshake() const { return false; }
    // For the trace: why the last Failed came (empty: nothing worth saying), and what a
    // finished handshake agreed on.
    virtual std::string Failure() const { return {}; }
    // Why the last Failed came, as the connection's close reason.
    virtual CloseReason FailureReason() const { return CloseReason::Reset; }
    virtual std::string HandshakeNote() const { return {}; }

    int socket() const { return socket_; }
    // Reads and drops what has arrived. False once the peer has ended, reset or failed.
    bool Discard();
    // What the kernel still holds of the output (-1: unknown): shrinking, it shows a reader
    // too slow to let a whole send through.
    int UnsentBytes() const;
    void CloseSocket();

private:
    int socket_;
};
