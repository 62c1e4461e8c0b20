#pragma once
// One connection of the socket layer: its line buffer, its output queue, the transport they
// cross the socket by, and its one state, which only Enter changes.

#include "platform/ip_address.h"
#include "socket_layer/connection_host.h"
#include "socket_layer/deadlines.h"
#include "socket_layer/line_buffer.h"
#include "socket_layer/output_queue.h"
#include "socket_layer/transport.h"

#include <QPointer>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

enum class ConnectionState : std::uint8_t {
    Open,         // lines come in, replies go out
    PeerClosed,   // input ended: the peer closed its side; the lines before still count
    LineTooLong,  // input ended: a line over the limit; the client is out of step
    Failed,       // input ended: reset or error; nothing more goes out, the next pass closes
    Closing,      // the owner (or the idle timeout) closes: queued output goes out first
    Lingering,    // all sent and half-closed: what the client still sends is read and dropped
    Closed,       // the socket is closed and the connection forgotten
};
inline constexpr int kConnectionStates = 7;
const char* StateName(ConnectionState state);

class Connection {
public:
    using State = ConnectionState;

    // What the layer that holds the connection keeps with it.
    struct HostData {
        std::uint64_t serial = 0;  // tells this connection from a later one on the same handle
        std::string sendPrefix;    // the trace marker of its sent lines
        ConnectionHooks hooks;
        QPointer<QObject> context;
        platform::IpAddress peer;
        bool counted = false;       // among the active connections
        bool dirty = false;         // waiting for this pass's write
        bool readyPosted = false;   // a ready notice is on its way
        bool hideNextLine = false;  // the next received line is a secret: traced masked
    };

    Connection(ConnectionHost& host, std::unique_ptr<Transport> transport);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The one way the state changes, and so the one way to close: the move is checked against
    // the legal ones, traced (`note`, or the move's own entry), and what the new state needs is
    // done. An illegal move is a programming error: it asserts, and where asserts are off it is
    // traced and the connection closed. After a move to Closed the connection is gone.
    // The first move to Failed, Closing or Closed decides the close reason: `why`, or else the
    // ended input the close follows (Server for an owner's close of an open connection).
    void Enter(State to, std::string_view note = {}, CloseReason why = CloseReason::Unknown);
    State state() const { return state_; }
    CloseReason closeReason() const { return closeReason_; }

    int socket() const { return transport_->socket(); }
    const Transport& transport() const { return *transport_; }
    // Replaces the transport from now on; received bytes not yet served as lines are dropped
    // (whatever follows must come through the new one). Returns how many.
    std::size_t SwitchTransport(std::unique_ptr<Transport> next);

    // Output can still be queued: not failed, lingering or closed.
    bool Sendable() const {
        return state_ == State::Open || state_ == State::PeerClosed ||
               state_ == State::LineTooLong || state_ == State::Closing;
    }
    // Queues `bytes` and `more` (or a span) and writes at once when enough waits. False when
    // the connection has failed.
    bool Queue(std::string_view bytes, std::string_view more = {});
    bool Queue(FileSpan span);
    // Borrowed bytes, kept alive by `keep` until sent.
    bool Queue(std::span<const std::string_view> pieces, const std::shared_ptr<const void>& keep);
    const OutputQueue& output() const { return output_; }

    // The next complete line without its CR LF; false when none can be had now.
    bool NextLine(std::string& text);
    InputEnd InputState() const;

    // The socket has something to read.
    void OnReadable();
    // Writes what waits and takes a close as far as it can go.
    void Advance();
    // No progress for the idle timeout.
    void IdleOver();

    DeadlineMarks& marks() { return marks_; }
    HostData data;

private:
    void Close();
    void IllegalMove(State to);
    void Fail();
    bool Queued();
    bool ReadMore();
    FlushStatus Write();
    void FinishClosing(FlushStatus flushed);
    void DiscardInput();
    void Touch();

    ConnectionHost& host_;
    std::unique_ptr<Transport> transport_;
    State state_ = State::Open;
    CloseReason closeReason_ = CloseReason::Unknown;  // Unknown until a close is decided
    LineBuffer input_;
    OutputQueue output_;
    // What the kernel still held of the output when a send was last refused: a client that
    // reads too slowly to let a send through still makes it shrink.
    int unsent_ = -1;
    DeadlineMarks marks_;
};
