#include "socket_layer/connection.h"

#include "socket_layer/flow_limits.h"

#include <array>
#include <cassert>

namespace {

using State = ConnectionState;

// Every legal move, with the trace entry it writes unless the mover gives its own. Moves to
// Closed from a live state are the deadlines' (idle, stalled, handshake), which say why.
struct Move {
    State from;
    State to;
    const char* entry;
};
constexpr Move kMoves[] = {
    {State::Open, State::PeerClosed, "input ended: peer closed"},
    {State::Open, State::LineTooLong, "input ended: line too long"},
    {State::Open, State::Failed, nullptr},
    {State::Open, State::Closing, nullptr},
    {State::Open, State::Closed, "closed"},
    // The lines that came before the peer's end are still served, and one may be too long.
    {State::PeerClosed, State::LineTooLong, "input ended: line too long"},
    {State::PeerClosed, State::Failed, nullptr},
    {State::PeerClosed, State::Closing, nullptr},
    {State::PeerClosed, State::Closed, "closed"},
    {State::LineTooLong, State::Failed, nullptr},
    {State::LineTooLong, State::Closing, nullptr},
    {State::LineTooLong, State::Closed, "closed"},
    {State::Failed, State::Closed, "closed: connection failed"},
    {State::Closing, State::Failed, nullptr},
    {State::Closing, State::Lingering, "closed"},  // the orderly end: everything sent
    {State::Closing, State::Closed, "closed"},
    {State::Lingering, State::Closed, nullptr},
};

struct Rule {
    bool legal = false;
    const char* entry = nullptr;
};
using Table = std::array<std::array<Rule, kConnectionStates>, kConnectionStates>;

constexpr Table MakeTable() {
    Table table{};
    for (const Move& move : kMoves) {
        table[static_cast<int>(move.from)][static_cast<int>(move.to)] = Rule{true, move.entry};
    }
    return table;
}
constexpr Table kTable = MakeTable();

// The close reason of a move that gives none: the ended input the owner closes after.
CloseReason ImpliedReason(State from, State to) {
    switch (from) {
        case State::PeerClosed:
            return CloseReason::PeerClosed;
        case State::LineTooLong:
            return CloseReason::LineTooLong;
        default:
            return to == State::Closing ? CloseReason::Server : CloseReason::Unknown;
    }
}

}  // namespace

const char* StateName(ConnectionState state) {
    static constexpr const char* kNames[kConnectionStates] = {
        "open", "peer closed", "line too long", "failed", "closing", "lingering", "closed"};
    return kNames[static_cast<int>(state)];
}

Connection::Connection(ConnectionHost& host, std::unique_ptr<Transport> transport)
    : host_(host), transport_(std::move(transport)) {
    host_.deadlines().Add(*this);
}

void Connection::Enter(State to, std::string_view note, CloseReason why) {
    const Rule rule = kTable[static_cast<int>(state_)][static_cast<int>(to)];
    if (!rule.legal) {
        IllegalMove(to);
        return;
    }
    if (note.empty() && rule.entry != nullptr) {
        note = rule.entry;
    }
    if (!note.empty()) {
        host_.TraceEvent(*this, note);
    }
    const State from = state_;
    state_ = to;
    if (closeReason_ == CloseReason::Unknown &&
        (to == State::Failed || to == State::Closing || to == State::Closed)) {
        closeReason_ = why != CloseReason::Unknown ? why : ImpliedReason(from, to);
    }
    switch (to) {
        case State::Open:
            break;
        case State::PeerClosed:
        case State::LineTooLong:
            host_.NotifyReady(*this);
            break;
        case State::Failed:
            output_.Release();       // nothing more can be delivered, nor is more of a file read
            host_.MarkDirty(*this);  // the next pass closes it
            if (from != State::Closing) {
                host_.NotifyReady(*this);
            }
            break;
        case State::Closing:
            host_.StopCounting(*this);
            Touch();  // from now on it has the idle timeout to flush
            host_.MarkDirty(*this);
            break;
        case State::Lingering:
            host_.StopCounting(*this);
            host_.deadlines().Linger(*this);
            break;
        case State::Closed:
            Close();
            break;
    }
}

void Connection::IllegalMove(State to) {
    assert(!"a connection's state moved against its table");
    const std::string what =
        std::string("illegal move from ") + StateName(state_) + " to " + StateName(to);
    if (state_ == State::Closed) {
        host_.TraceEvent(*this, what);
        return;
    }
    // Whatever state the connection is really in, it cannot be trusted: it ends here.
    host_.TraceEvent(*this, "closed: " + what);
    state_ = State::Closed;
    Close();
}

void Connection::Close() {
    host_.StopCounting(*this);
    host_.deadlines().Remove(*this);
    transport_->CloseSocket();
    host_.Forget(*this);  // last: the connection is destroyed
}

std::size_t Connection::SwitchTransport(std::unique_ptr<Transport> next) {
    transport_ = std::move(next);
    if (transport_->InHandshake()) {
        host_.deadlines().StartHandshake(*this);
    }
    const std::size_t dropped = input_.pending();
    input_ = LineBuffer();
    return dropped;
}

bool Connection::Queue(std::string_view bytes, std::string_view more) {
    output_.Append(bytes);
    output_.Append(more);
    return Queued();
}

bool Connection::Queue(std::span<const std::string_view> pieces,
                       const std::shared_ptr<const void>& keep) {
    // Pieces go in order: the last one (empty ones are dropped) keeping them all alive is
    // enough.
    std::size_t last = pieces.size();
    while (last > 0 && pieces[last - 1].empty()) {
        --last;
    }
    for (std::size_t i = 0; i < last; ++i) {
        output_.Append(BorrowedBytes{pieces[i], i + 1 == last ? keep : nullptr});
    }
    return Queued();
}

bool Connection::Queue(FileSpan span) {
    output_.Append(span);
    return Queued();
}

bool Connection::Queued() {
    if (output_.size() >= flow::kWriteNow) {
        Write();
    }
    if (output_.size() >= flow::kHighWater) {
        output_.SetCongested(true);
    }
    host_.MarkDirty(*this);
    return state_ != State::Failed;
}

bool Connection::NextLine(std::string& text) {
    // Lines after an overlong one are not served: the client is out of step.
    if (state_ != State::Open && state_ != State::PeerClosed) {
        return false;
    }
    while (true) {
        if (input_.PopLine(text)) {
            if (text.size() > flow::kMaxLine) {
                // However the bytes were split into reads: a line this long ends the input.
                text.clear();
                Enter(State::LineTooLong);
                return false;
            }
            Touch();
            return true;
        }
        // Input waits for output: a client that does not read its replies is not read either.
        if (state_ != State::Open || output_.congested() || !ReadMore()) {
            return false;
        }
    }
}

InputEnd Connection::InputState() const {
    switch (state_) {
        case State::PeerClosed:
            // The lines that came before the end are still to be served.
            return input_.HasLine() ? InputEnd::None : InputEnd::PeerClosed;
        case State::LineTooLong:
            return InputEnd::LineTooLong;
        case State::Failed:
        case State::Closed:
            return InputEnd::Failed;
        default:
            return InputEnd::None;
    }
}

// One read into the line buffer. False when nothing was added: nothing waiting, or the input
// has ended (then the state says why).
bool Connection::ReadMore() {
    if (input_.Overlong()) {
        Enter(State::LineTooLong);
        return false;
    }
    const ReadResult read = transport_->ReadInto(input_);
    if (read.handshakeDone) {
        host_.deadlines().EndHandshake(*this);
        host_.TraceEvent(*this, transport_->HandshakeNote());
    }
    if (read.wantsFlush) {
        host_.MarkDirty(*this);
    }
    switch (read.status) {
        case ReadStatus::Data:
            return true;
        case ReadStatus::Nothing:
            break;
        case ReadStatus::Ended:
            Enter(State::PeerClosed);
            break;
        case ReadStatus::Failed:
            Fail();
            break;
    }
    return false;
}

// Gathers bytes until a line is complete, and tells the owner once there is one, or the input
// has ended. While a line waits, nothing more is read: the socket's own buffer holds the rest
// back.
void Connection::OnReadable() {
    if (state_ == State::Lingering) {
        DiscardInput();
        return;
    }
    if (state_ != State::Open || output_.congested()) {
        return;  // the drain or the close takes it from here
    }
    while (!input_.HasLine() && ReadMore()) {
    }
    if (input_.HasLine() || state_ != State::Open) {
        host_.NotifyReady(*this);
    }
}

FlushStatus Connection::Write() {
    const FlushResult result = transport_->Flush(output_);
    if (result.progressed) {
        Touch();
    }
    if (result.status == FlushStatus::Blocked) {
        unsent_ = transport_->UnsentBytes();
    } else if (result.status == FlushStatus::Failed) {
        Fail();  // a reset or send error, whatever the state
    }
    return result.status;
}

void Connection::Advance() {
    if (state_ == State::Lingering) {
        return;
    }
    const FlushStatus flushed = state_ == State::Failed ? FlushStatus::Failed : Write();
    if (state_ == State::Failed) {
        Enter(State::Closed);
        return;
    }
    if (output_.congested() && output_.size() < flow::kHighWater) {
        output_.SetCongested(false);
        host_.NotifyReady(*this);
    }
    output_.ReleaseIfDrained();
    if (state_ == State::Closing) {
        FinishClosing(flushed);
    }
}

void Connection::FinishClosing(FlushStatus flushed) {
    if (flushed == FlushStatus::Waiting) {
        // The rest waits for a handshake: without it nothing more can be delivered.
        Enter(State::Closed, "closed: handshake unfinished");
        return;
    }
    if (flushed != FlushStatus::Done) {
        return;
    }
    // Half-close and read what the client still sends, so that unread input does not turn the
    // close into a reset that could destroy the last reply before it is read.
    switch (transport_->ShutDown()) {
        case FlushStatus::Done:
            Enter(State::Lingering);
            DiscardInput();
            break;
        case FlushStatus::Failed:
            Fail();
            Enter(State::Closed);
            break;
        default:
            break;  // the end of the stream waits for room
    }
}

void Connection::Fail() {
    Enter(State::Failed, transport_->Failure(), transport_->FailureReason());
}

void Connection::DiscardInput() {
    if (!transport_->Discard()) {
        Enter(State::Closed);
    }
}

void Connection::IdleOver() {
    if (state_ == State::Failed) {
        Enter(State::Closed);
        return;
    }
    if (!output_.empty() || transport_->HasPending()) {
        const int unsent = transport_->UnsentBytes();
        if (unsent >= 0 && unsent < unsent_) {
            unsent_ = unsent;  // the client reads, if slowly
            Touch();
            return;
        }
        // The client takes nothing.
        Enter(State::Closed, "closed: output stalled", CloseReason::StalledOutput);
    } else if (state_ == State::Closing) {
        Enter(State::Closed, "closed: idle timeout", CloseReason::Idle);
    } else {
        // Moves it to the back of the order.
        Enter(State::Closing, "closing: idle timeout", CloseReason::Idle);
    }
}

void Connection::Touch() {
    host_.deadlines().Touch(*this);
}
