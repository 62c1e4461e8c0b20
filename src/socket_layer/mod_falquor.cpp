#include "socket_layer/mod_falquor.h"

#include "platform/socket_queue.h"
#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"
#include "socket_layer/tls_session.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

// The marker of a trace entry: "[" n "-->]" for a sent text, "[-->" n "] " CR LF for a
// received line, "[" n "] " for what happened to the connection, n being the socket handle.
void MakePrefix(std::string& out, std::string_view before, int socket, std::string_view after) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, socket);
    out.clear();
    out.append(before);
    out.append(digits, result.ptr);
    out.append(after);
}

bool BoundSocket(int& socket, int port, std::uint32_t address) {
    socket = platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0);
    if (socket == platform::kInvalidSocket) {
        return false;
    }
    platform::SocketAddress local;
    local.port = platform::htons(static_cast<std::uint16_t>(port));
    local.address = address;
    return platform::bind(socket, local, sizeof local) != platform::kSocketError;
}

}  // namespace

struct modFalquor::Link {
    int socket = -1;
    std::uint64_t serial = 0;  // tells this connection from a later one on the same handle
    std::string sendPrefix;    // the trace marker of this connection's sent lines
    ConnectionHooks hooks;
    QPointer<QObject> context;
    std::uint32_t peer = 0;
    bool counted = false;  // in active_ and activeByPeer_
    LineBuffer input;
    OutputQueue output;
    State state = State::Open;
    InputEnd inputEnd = InputEnd::None;
    bool congested = false;    // output above the high-water mark: produce and read no more
    bool dirty = false;        // waiting for this pass's write
    bool readyPosted = false;  // a ready notice is on its way
    // Open and closing connections: last progress; lingering ones: when the linger ends.
    Clock::time_point deadlineBase;
    // What the kernel still held of the output when a send was last refused: a client that
    // reads too slowly to let a send through still makes it shrink.
    int unsent = -1;
    std::list<Link*>::iterator place;  // in byActivity_ or lingering_
    // Set once the connection is encrypted: from then on every byte received is TLS, and
    // queued output is encrypted once the first `clearLeft` bytes have gone out as they are.
    std::unique_ptr<TlsSession> tls;
    std::size_t clearLeft = 0;
    // While the handshake is unfinished: when it began, and the place in handshaking_.
    Clock::time_point handshakeStart;
    std::list<Link*>::iterator handshakePlace;
};

modFalquor::modFalquor(QObject* parent) : QObject(parent), handshakeLimit_(flow::kTlsHandshake) {
    deadlineTimer_.setSingleShot(true);
    connect(&deadlineTimer_, &QTimer::timeout, this, &modFalquor::ExpireDeadlines);
}

modFalquor::~modFalquor() {
    CloseAll();
}

bool modFalquor::StartWinSock() {
    platform::WSAData data;
    return platform::WSAStartup(0x0101, &data) == 0;
}

bool modFalquor::CreateSocket(int& socket, int port, std::uint32_t address) {
    return BoundSocket(socket, port, address);
}

int modFalquor::OpenListener(int port, std::uint32_t address) {
    platform::WSAData data;
    if (platform::WSAStartup(0x0101, &data) != 0) {
        return platform::kInvalidSocket;
    }
    int socket = platform::kInvalidSocket;
    if (!BoundSocket(socket, port, address) ||
        platform::listen(socket, platform::MaxBacklog()) != 0) {
        if (socket != platform::kInvalidSocket) {
            platform::closesocket(socket);
        }
        return platform::kInvalidSocket;
    }
    return socket;
}

bool modFalquor::CloseSocket(int socket) {
    return platform::closesocket(socket) != platform::kSocketError;
}

void modFalquor::AppendTrace(std::string_view prefix, std::string_view text) {
    trace_.AppendEntry(prefix, text);
}

modFalquor::Link& modFalquor::NewLink(int socket) {
    auto link = std::make_unique<Link>();
    link->socket = socket;
    link->serial = ++serials_;
    MakePrefix(link->sendPrefix, "[", socket, "-->]");
    link->deadlineBase = Clock::now();
    link->place = byActivity_.insert(byActivity_.end(), link.get());
    Link& added = *link;
    links_[socket] = std::move(link);
    if (!deadlineTimer_.isActive()) {
        ArmDeadlineTimer();
    }
    return added;
}

void modFalquor::Attach(int socket, ConnectionHooks hooks, std::uint32_t peer) {
    Link& link = NewLink(socket);
    link.context = hooks.context;
    link.hooks = std::move(hooks);
    link.peer = peer;
    link.counted = true;
    ++active_;
    ++activeByPeer_[peer];
}

void modFalquor::Refuse(int socket, std::string_view line) {
    NewLink(socket);
    SendToSocket(socket, line);
    CloseWhenFlushed(socket);
    Watch(socket);  // for the reads of the linger
}

std::size_t modFalquor::ActiveConnectionsFrom(std::uint32_t peer) const {
    const auto it = activeByPeer_.find(peer);
    return it == activeByPeer_.end() ? 0 : it->second;
}

std::uint32_t modFalquor::PeerAddress(int socket) const {
    const Link* link = Find(socket);
    return link != nullptr ? link->peer : 0;
}

void modFalquor::StopCounting(Link& link) {
    if (link.counted) {
        link.counted = false;
        --active_;
        if (const auto it = activeByPeer_.find(link.peer);
            it != activeByPeer_.end() && --it->second == 0) {
            activeByPeer_.erase(it);
        }
    }
}

void modFalquor::SetTls(std::unique_ptr<TlsContext> context) {
    tls_ = std::move(context);
}

bool modFalquor::Encrypted(int socket) const {
    const Link* link = Find(socket);
    return link != nullptr && link->tls != nullptr;
}

void modFalquor::StartTls(int socket) {
    Link* link = Find(socket);
    if (link == nullptr || tls_ == nullptr || link->tls != nullptr) {
        return;
    }
    link->tls = std::make_unique<TlsSession>(tls_->Handle());
    link->clearLeft = link->output.size();
    link->handshakeStart = Clock::now();
    link->handshakePlace = handshaking_.insert(handshaking_.end(), link);
    if (!deadlineTimer_.isActive() ||
        deadlineTimer_.remainingTimeAsDuration() > HandshakeDeadline()) {
        ArmDeadlineTimer();
    }
    // Bytes that came in clear after the request that started TLS could be anybody's, and
    // would be taken as sent over TLS: they are dropped unread.
    if (const std::size_t dropped = link->input.pending(); dropped > 0) {
        TraceEvent(*link, "TLS: dropped " + std::to_string(dropped) +
                              " bytes received before the handshake");
    }
    link->input = LineBuffer();
}

bool modFalquor::Watch(int socket) {
    return platform::WSAAsyncSelect(socket, this, kConnectionMessage,
                                    platform::FD_READ | platform::FD_WRITE) == 0;
}

modFalquor::Link* modFalquor::Find(int socket) const {
    const auto it = links_.find(socket);
    return it == links_.end() ? nullptr : it->second.get();
}

// The marker of a sent text: the connection's own, or the one Sendable made for a handle
// that is no connection.
std::string_view modFalquor::SentPrefix(const Link* link) const {
    return link != nullptr ? std::string_view(link->sendPrefix) : std::string_view(prefix_);
}

// The connection a sent text can be queued on, if any.
modFalquor::Link* modFalquor::Sendable(int socket) {
    Link* link = Find(socket);
    if (link == nullptr) {
        MakePrefix(prefix_, "[", socket, "-->]");
        return nullptr;
    }
    return link->inputEnd == InputEnd::Failed || link->state == State::Lingering ? nullptr : link;
}

bool modFalquor::SendToSocket(int socket, std::string_view text) {
    Link* link = Sendable(socket);
    AppendTrace(SentPrefix(link), text);
    if (link == nullptr) {
        return false;
    }
    link->output.Append(text);
    return Queue(*link, "\r\n");
}

bool modFalquor::SendPart(int socket, std::string_view bytes) {
    Link* link = Sendable(socket);
    AppendTrace(SentPrefix(link), bytes);
    return link != nullptr && Queue(*link, bytes);
}

bool modFalquor::SendLines(int socket, std::string_view lines) {
    Link* link = Sendable(socket);
    trace_.AppendLines(SentPrefix(link), lines);
    return link != nullptr && Queue(*link, lines);
}

bool modFalquor::Queue(Link& link, std::string_view bytes) {
    link.output.Append(bytes);
    if (link.output.size() >= flow::kWriteNow) {
        Write(link);
    }
    if (link.output.size() >= flow::kHighWater) {
        link.congested = true;
    }
    MarkDirty(link);
    return link.inputEnd != InputEnd::Failed;
}

bool modFalquor::ReceiveFromSocket(int socket, std::string& text) {
    text.clear();
    Link* link = Find(socket);
    // Lines after an overlong one are not served: the client is out of step.
    if (link == nullptr || link->inputEnd == InputEnd::LineTooLong ||
        link->inputEnd == InputEnd::Failed || link->state == State::Closing ||
        link->state == State::Lingering) {
        return false;
    }
    while (true) {
        if (link->input.PopLine(text)) {
            if (text.size() > flow::kMaxLine) {
                // However the bytes were split into reads: a line this long ends the input.
                text.clear();
                Enter(*link, State::InputEnded, InputEnd::LineTooLong);
                return false;
            }
            MakePrefix(prefix_, "[-->", socket, "] \r\n");
            const bool masked = receivedMask_ != nullptr && receivedMask_(text, masked_);
            AppendTrace(prefix_, masked ? std::string_view(masked_) : std::string_view(text));
            Touch(*link);
            return true;
        }
        // Input waits for output: a client that does not read its replies is not read either.
        if (link->state != State::Open || link->congested || !ReadMore(*link)) {
            return false;
        }
    }
}

// One read into the line buffer. False when nothing was added: nothing waiting, or the input
// has ended (then the state says why).
bool modFalquor::ReadMore(Link& link) {
    if (link.input.Overlong()) {
        Enter(link, State::InputEnded, InputEnd::LineTooLong);
        return false;
    }
    if (link.tls) {
        return ReadMoreTls(link);
    }
    char* area = link.input.PrepareAppend(flow::kReadChunk);
    const int n = platform::recv(link.socket, area, static_cast<int>(flow::kReadChunk), 0);
    link.input.Commit(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) {
        return true;
    }
    NothingRead(link, n);
    return false;
}

// A recv that brought nothing: the end of the input, a failure, or only nothing waiting yet.
void modFalquor::NothingRead(Link& link, int result) {
    if (result == 0) {
        Enter(link, State::InputEnded, InputEnd::PeerClosed);
    } else if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) {
        Enter(link, State::InputEnded, InputEnd::Failed);
    }
}

// ReadMore over TLS: decrypts what was received, reading more ciphertext only when TLS needs
// it. Handshake bytes add nothing to the line buffer, so they are no progress for the idle
// timeout.
bool modFalquor::ReadMoreTls(Link& link) {
    TlsSession& tls = *link.tls;
    for (int reads = 0; reads < flow::kTlsReadsPerTurn; ++reads) {
        auto status = TlsSession::Status::NeedInput;
        std::size_t count = 0;
        if (!tls.Established()) {
            status = tls.Handshake();
            if (status == TlsSession::Status::Done) {
                TraceEvent(link, "TLS handshake: " + tls.Description());
                handshaking_.erase(link.handshakePlace);
            } else if (status == TlsSession::Status::Failed) {
                TraceEvent(link, "TLS handshake failed: " + tls.Failure());
            }
        }
        if (tls.Established()) {
            char* area = link.input.PrepareAppend(flow::kReadChunk);
            status = tls.Read(area, flow::kReadChunk, count);
            link.input.Commit(count);
            if (status == TlsSession::Status::Failed) {
                TraceEvent(link, "TLS failed: " + tls.Failure());
            }
        }
        if (tls.HasPending() || (tls.Established() && !link.output.empty())) {
            MarkDirty(link);  // handshake messages to send, or output the handshake held back
        }
        if (count > 0) {
            return true;
        }
        if (status == TlsSession::Status::PeerClosed) {
            Enter(link, State::InputEnded, InputEnd::PeerClosed);
            return false;
        }
        if (status == TlsSession::Status::Failed) {
            // The alert that says why is worth one try; the connection ends either way.
            if (tls.HasPending()) {
                const std::string_view alert = tls.Pending();
                platform::send(link.socket, alert.data(), static_cast<int>(alert.size()), 0);
            }
            Enter(link, State::InputEnded, InputEnd::Failed);
            return false;
        }
        char cipher[flow::kTlsReadChunk];
        const int n = platform::recv(link.socket, cipher, static_cast<int>(sizeof cipher), 0);
        if (n > 0) {
            tls.Feed(cipher, static_cast<std::size_t>(n));
            continue;
        }
        NothingRead(link, n);
        return false;
    }
    return false;
}

// On a read event: gathers bytes until a line is complete, and tells the owner once there is
// one, or the input has ended. While a line waits, nothing more is read: the socket's own
// buffer holds the rest back.
void modFalquor::Fill(Link& link) {
    if (link.state != State::Open || link.congested) {
        return;  // the drain or the close takes it from here
    }
    while (!link.input.HasLine() && ReadMore(link)) {
    }
    if (link.input.HasLine() || link.state != State::Open) {
        NotifyReady(link);
    }
}

bool modFalquor::Congested(int socket) const {
    const Link* link = Find(socket);
    return link != nullptr && link->congested;
}

InputEnd modFalquor::InputState(int socket) const {
    const Link* link = Find(socket);
    if (link == nullptr) {
        return InputEnd::Failed;
    }
    if (link->inputEnd == InputEnd::PeerClosed && link->input.HasLine()) {
        return InputEnd::None;  // the lines that came before the end are still to be served
    }
    return link->inputEnd;
}

std::size_t modFalquor::PendingOutput(int socket) const {
    const Link* link = Find(socket);
    return link == nullptr ? 0 : link->output.size();
}

void modFalquor::CloseWhenFlushed(int socket) {
    if (Link* link = Find(socket);
        link != nullptr && (link->state == State::Open || link->state == State::InputEnded)) {
        Enter(*link, State::Closing);
    }
}

void modFalquor::Enter(Link& link, State state, InputEnd why) {
    link.state = state;
    switch (state) {
        case State::Open:
            break;
        case State::InputEnded:
            link.inputEnd = why;
            if (why == InputEnd::Failed) {
                link.output.Release();  // nothing more can be delivered
                MarkDirty(link);        // the next pass closes it
            }
            NotifyReady(link);
            break;
        case State::Closing:
            StopCounting(link);
            Touch(link);  // from now on it has the idle timeout to flush
            MarkDirty(link);
            break;
        case State::Lingering:
            StopCounting(link);
            byActivity_.erase(link.place);
            link.deadlineBase = Clock::now() + flow::kLinger;
            link.place = lingering_.insert(lingering_.end(), &link);
            if (!deadlineTimer_.isActive() ||
                deadlineTimer_.remainingTimeAsDuration() > flow::kLinger) {
                ArmDeadlineTimer();
            }
            break;
    }
}

void modFalquor::Close(Link& link, std::string_view why) {
    if (!why.empty()) {
        TraceEvent(link, why);
    }
    StopCounting(link);
    (link.state == State::Lingering ? lingering_ : byActivity_).erase(link.place);
    if (link.tls && !link.tls->Established()) {
        handshaking_.erase(link.handshakePlace);
    }
    const int socket = link.socket;
    platform::closesocket(socket);
    if (link.hooks.closed) {
        notices_.push_back(Notice{socket, link.serial, link.context, std::move(link.hooks.closed)});
        SchedulePass();
    }
    links_.erase(socket);
}

void modFalquor::TraceEvent(const Link& link, std::string_view what) {
    MakePrefix(prefix_, "[", link.socket, "]");
    AppendTrace(prefix_, what);
}

void modFalquor::Touch(Link& link) {
    link.deadlineBase = Clock::now();
    if (link.state != State::Lingering) {
        byActivity_.splice(byActivity_.end(), byActivity_, link.place);
    }
}

void modFalquor::Write(Link& link) {
    if (link.tls) {
        WriteTls(link);
        return;
    }
    while (!link.output.empty()) {
        const std::string_view front = link.output.Front();
        const int length = static_cast<int>(std::min<std::size_t>(front.size(), 1 << 30));
        const int n = platform::send(link.socket, front.data(), length, 0);
        if (n > 0) {
            link.output.Consume(static_cast<std::size_t>(n));
            Touch(link);
            continue;
        }
        SendStopped(link, n);
        return;
    }
}

// Write over TLS: first what still goes out in clear (it was queued before TLS began, and a
// client may start its handshake before it has all of it), then ciphertext. Plaintext is
// encrypted, once the handshake is done, until a batch of ciphertext waits, and only then
// sent: records made together (a session ticket and the greeting, the lines of one reply)
// leave in one send, not one small send each, which the kernel would hold back for an
// acknowledgement.
void modFalquor::WriteTls(Link& link) {
    TlsSession& tls = *link.tls;
    while (true) {
        if (link.clearLeft == 0 && tls.Established() && !link.output.empty() &&
            tls.Pending().size() < flow::kTlsBatch) {
            std::size_t taken = 0;
            const auto status = tls.Write(
                link.output.Front().substr(0, flow::kTlsBatch - tls.Pending().size()), taken);
            link.output.Consume(taken);
            if (status == TlsSession::Status::Failed) {
                TraceEvent(link, "TLS failed: " + tls.Failure());
                SendStopped(link, 0);
                return;
            }
            continue;
        }
        const bool encrypted = link.clearLeft == 0;
        const std::string_view bytes =
            encrypted ? tls.Pending() : link.output.Front().substr(0, link.clearLeft);
        if (bytes.empty()) {
            if (link.output.empty()) {
                tls.Trim();  // idle until the next reply
            }
            return;
        }
        const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
        const int n = platform::send(link.socket, bytes.data(), length, 0);
        if (n <= 0) {
            SendStopped(link, n);
            return;
        }
        if (encrypted) {
            tls.Sent(static_cast<std::size_t>(n));
        } else {
            link.output.Consume(static_cast<std::size_t>(n));
            link.clearLeft -= static_cast<std::size_t>(n);
        }
        Touch(link);
    }
}

// After a send that took nothing: waits for room, or gives the connection up.
void modFalquor::SendStopped(Link& link, int sent) {
    if (sent < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
        link.unsent = platform::UnsentBytes(link.socket);
        return;  // the platform reports FD_WRITE when there is room again
    }
    // A reset or send error: the connection is dead whatever its state.
    if (link.state == State::Open) {
        Enter(link, State::InputEnded, InputEnd::Failed);
    } else {
        link.inputEnd = InputEnd::Failed;
        link.output.Release();
    }
}

bool modFalquor::OutputGone(const Link& link) const {
    return link.output.empty() && (link.tls == nullptr || !link.tls->HasPending());
}

void modFalquor::Advance(Link& link) {
    if (link.state != State::Lingering && link.inputEnd != InputEnd::Failed) {
        Write(link);
        if (link.state == State::Closing && link.tls && link.output.empty() &&
            link.inputEnd != InputEnd::Failed) {
            link.tls->Shutdown();  // once: the end of the encrypted stream, before the half-close
            Write(link);
        }
    }
    if (link.inputEnd == InputEnd::Failed) {
        Close(link, "closed: connection failed");
        return;
    }
    if (link.congested && link.output.size() < flow::kHighWater) {
        link.congested = false;
        NotifyReady(link);
    }
    link.output.ReleaseIfDrained();
    if (link.state == State::Closing && link.tls && !link.tls->Established() &&
        link.clearLeft == 0 && !link.tls->HasPending()) {
        Close(link, {});  // without a finished handshake nothing more can be delivered
        return;
    }
    if (link.state == State::Closing && OutputGone(link)) {
        if (link.inputEnd == InputEnd::PeerClosed) {
            Close(link, {});
            return;
        }
        // Half-close and read what the client still sends, so that unread input does not
        // turn the close into a reset that could destroy the last reply before it is read.
        platform::shutdown(link.socket, platform::SD_SEND);
        Enter(link, State::Lingering);
        DiscardInput(link);
    }
}

void modFalquor::DiscardInput(Link& link) {
    char scratch[16 * 1024];
    for (int reads = 0; reads < 64; ++reads) {
        const int n = platform::recv(link.socket, scratch, sizeof scratch, 0);
        if (n > 0) {
            continue;
        }
        if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
            return;
        }
        Close(link, {});
        return;
    }
}

void modFalquor::NotifyReady(Link& link) {
    if (!link.readyPosted && link.hooks.ready) {
        link.readyPosted = true;
        notices_.push_back(Notice{link.socket, link.serial, {}, {}});
        SchedulePass();
    }
}

void modFalquor::MarkDirty(Link& link) {
    if (!link.dirty) {
        link.dirty = true;
        dirty_.push_back(link.socket);
    }
    SchedulePass();
}

void modFalquor::SchedulePass() {
    if (!passPosted_ && !inPass_) {
        passPosted_ = true;
        QMetaObject::invokeMethod(this, &modFalquor::RunPass, Qt::QueuedConnection);
    }
}

void modFalquor::RunPass() {
    passPosted_ = false;
    inPass_ = true;
    std::vector<Notice> notices;
    notices.swap(notices_);
    for (Notice& notice : notices) {
        if (notice.closed) {
            if (!notice.context.isNull()) {
                notice.closed();
            }
            continue;
        }
        Link* link = Find(notice.socket);
        if (link == nullptr || link->serial != notice.serial) {
            continue;
        }
        link->readyPosted = false;
        if (!link->context.isNull()) {
            const std::function<void()> ready = link->hooks.ready;  // the owner may close all
            ready();
        }
    }
    // Write what the notices produced in the same pass.
    std::vector<int> sockets;
    sockets.swap(dirty_);
    for (const int socket : sockets) {
        if (Link* link = Find(socket)) {
            link->dirty = false;
            Advance(*link);
        }
    }
    inPass_ = false;
    if (!notices_.empty() || !dirty_.empty()) {
        SchedulePass();
    }
}

void modFalquor::OnSocketEvent(int socket, long events) {
    Link* link = Find(socket);
    if (link != nullptr && (events & platform::FD_WRITE) != 0) {
        Advance(*link);
        link = Find(socket);
    }
    if (link == nullptr || (events & platform::FD_READ) == 0) {
        return;
    }
    if (link->state == State::Lingering) {
        DiscardInput(*link);
    } else {
        Fill(*link);
    }
}

bool modFalquor::event(QEvent* event) {
    if (event->type() != platform::SocketEvent::type()) {
        return QObject::event(event);
    }
    const auto* socketEvent = static_cast<const platform::SocketEvent*>(event);
    OnSocketEvent(socketEvent->socket(), socketEvent->events());
    return true;
}

void modFalquor::CloseAll() {
    for (const auto& [socket, link] : links_) {
        platform::closesocket(socket);
    }
    links_.clear();
    activeByPeer_.clear();
    active_ = 0;
    byActivity_.clear();
    lingering_.clear();
    handshaking_.clear();
    dirty_.clear();
    notices_.clear();
}

void modFalquor::SetIdleTimeout(std::chrono::milliseconds timeout) {
    idleTimeout_ = timeout;
    ArmDeadlineTimer();
}

void modFalquor::SetHandshakeLimit(std::chrono::milliseconds limit) {
    handshakeLimit_ = limit;
    ArmDeadlineTimer();
}

std::chrono::milliseconds modFalquor::HandshakeDeadline() const {
    return std::min(handshakeLimit_, idleTimeout_);
}

void modFalquor::ExpireDeadlines() {
    const auto now = Clock::now();
    while (!lingering_.empty() && lingering_.front()->deadlineBase <= now) {
        Close(*lingering_.front(), {});
    }
    while (!handshaking_.empty() &&
           now - handshaking_.front()->handshakeStart >= HandshakeDeadline()) {
        Close(*handshaking_.front(), idleTimeout_ <= handshakeLimit_
                                         ? "closed: idle timeout in the TLS handshake"
                                         : "closed: TLS handshake timeout");
    }
    while (!byActivity_.empty() && now - byActivity_.front()->deadlineBase >= idleTimeout_) {
        Link& link = *byActivity_.front();
        if (link.tls && !link.tls->Established()) {
            Close(link, "closed: idle timeout in the TLS handshake");
            continue;
        }
        if (!OutputGone(link)) {
            const int unsent = platform::UnsentBytes(link.socket);
            if (unsent >= 0 && unsent < link.unsent) {
                link.unsent = unsent;  // the client reads, if slowly
                Touch(link);
                continue;
            }
            Close(link, "closed: output stalled");  // the client takes nothing
        } else if (link.state == State::Closing) {
            Close(link, "closed: idle timeout");
        } else {
            TraceEvent(link, "closing: idle timeout");
            Enter(link, State::Closing);  // moves it to the back of the order
        }
    }
    ArmDeadlineTimer();
}

void modFalquor::ArmDeadlineTimer() {
    std::optional<Clock::time_point> next;
    if (!lingering_.empty()) {
        next = lingering_.front()->deadlineBase;
    }
    if (!byActivity_.empty()) {
        const auto idleEnd = byActivity_.front()->deadlineBase + idleTimeout_;
        next = next ? std::min(*next, idleEnd) : idleEnd;
    }
    if (!handshaking_.empty()) {
        const auto handshakeEnd = handshaking_.front()->handshakeStart + HandshakeDeadline();
        next = next ? std::min(*next, handshakeEnd) : handshakeEnd;
    }
    if (!next) {
        deadlineTimer_.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    deadlineTimer_.start(std::max(wait, std::chrono::milliseconds(0)));
}
