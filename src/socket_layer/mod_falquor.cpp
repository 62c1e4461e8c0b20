#include "socket_layer/mod_falquor.h"

#include "platform/file_handle.h"
#include "platform/winsock.h"
#include "socket_layer/connection.h"
#include "socket_layer/plain_transport.h"
#include "socket_layer/span_trace.h"
#include "socket_layer/tls_transport.h"

#include <charconv>
#include <cstring>

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

// A socket of the address's family bound to it; an IPv6 one is IPv6-only unless `dualStack`.
// False (and `socket` closed) when any step fails, with WSAGetLastError telling which.
bool BoundSocket(int& socket, int port, const platform::IpAddress& address, bool dualStack) {
    const bool v4 = address.IsIpv4();
    socket =
        platform::socket(v4 ? platform::AF_INET_ : platform::AF_INET6_, platform::SOCK_STREAM_, 0);
    if (socket == platform::kInvalidSocket) {
        return false;
    }
    bool bound;
    if (v4) {
        platform::SocketAddress local;
        local.port = platform::htons(static_cast<std::uint16_t>(port));
        local.address = address.Ipv4();
        bound = platform::bind(socket, local, sizeof local) != platform::kSocketError;
    } else {
        platform::SocketAddress6 local;
        local.port = platform::htons(static_cast<std::uint16_t>(port));
        std::memcpy(local.address, address.Bytes().data(), sizeof local.address);
        bound = platform::SetV6Only(socket, !dualStack) == 0 &&
                platform::bind(socket, local, sizeof local) != platform::kSocketError;
    }
    if (!bound) {
        const int error = platform::WSAGetLastError();
        platform::closesocket(socket);
        socket = platform::kInvalidSocket;
        platform::WSASetLastError(error);  // what the close may have changed
    }
    return bound;
}

// A bound socket that listens, or kInvalidSocket.
int Listener(int port, const platform::IpAddress& address, bool dualStack) {
    int socket = platform::kInvalidSocket;
    if (!BoundSocket(socket, port, address, dualStack)) {
        return platform::kInvalidSocket;
    }
    if (platform::listen(socket, platform::MaxBacklog()) != 0) {
        platform::closesocket(socket);
        return platform::kInvalidSocket;
    }
    return socket;
}

const platform::IpAddress kAnyIpv6 = *platform::IpAddress::Parse("::");

// Every address: dual stack where the system allows it, else one socket per family, else
// IPv4 alone.
std::vector<int> EveryAddressListeners(int port) {
    if (const int both = Listener(port, kAnyIpv6, true); both != platform::kInvalidSocket) {
        return {both};
    }
    const int why = platform::WSAGetLastError();
    if (why == platform::WSAEADDRINUSE || why == platform::WSAEACCES) {
        return {};  // the port itself cannot be had
    }
    std::vector<int> sockets;
    if (const int v6 = Listener(port, kAnyIpv6, false); v6 != platform::kInvalidSocket) {
        sockets.push_back(v6);
        port = platform::LocalPort(v6);
    }
    if (const int v4 = Listener(port, platform::IpAddress(), false);
        v4 != platform::kInvalidSocket) {
        sockets.push_back(v4);
    } else {
        for (const int s : sockets) {
            platform::closesocket(s);
        }
        return {};
    }
    return sockets;
}

}  // namespace

modFalquor::modFalquor(QObject* parent) : QObject(parent) {}

modFalquor::~modFalquor() {
    CloseAll();
}

// ---- Start-up and the listening socket

bool modFalquor::StartWinSock() {
    platform::WSAData data;
    return platform::WSAStartup(0x0101, &data) == 0;
}

bool modFalquor::CreateSocket(int& socket, int port, const platform::IpAddress& address) {
    return BoundSocket(socket, port, address, false);
}

std::vector<int> modFalquor::OpenListeners(int port,
                                           const std::vector<platform::IpAddress>& addresses) {
    platform::WSAData data;
    if (platform::WSAStartup(0x0101, &data) != 0) {
        return {};
    }
    if (addresses.empty()) {
        return EveryAddressListeners(port);
    }
    std::vector<int> sockets;
    for (const platform::IpAddress& address : addresses) {
        const int socket = Listener(port, address, false);
        if (socket == platform::kInvalidSocket) {
            for (const int s : sockets) {
                platform::closesocket(s);
            }
            return {};
        }
        sockets.push_back(socket);
        port = platform::LocalPort(socket);  // port 0: the others take the one this one got
    }
    return sockets;
}

bool modFalquor::CloseSocket(int socket) {
    return platform::closesocket(socket) != platform::kSocketError;
}

void modFalquor::AppendTrace(std::string_view prefix, std::string_view text) {
    trace_.AppendEntry(prefix, text);
}

void modFalquor::TraceNote(int socket, std::string_view what) {
    if (const Connection* connection = Find(socket)) {
        TraceEvent(*connection, what);
    }
}

// ---- Connections: taken on, counted, found

Connection& modFalquor::NewConnection(int socket) {
    auto connection = std::make_unique<Connection>(static_cast<ConnectionHost&>(*this),
                                                   std::make_unique<PlainTransport>(socket));
    connection->data.serial = ++serials_;
    MakePrefix(connection->data.sendPrefix, "[", socket, "-->]");
    Connection& added = *connection;
    connections_[socket] = std::move(connection);
    return added;
}

void modFalquor::Attach(int socket, ConnectionHooks hooks, const platform::IpAddress& peer) {
    Connection& connection = NewConnection(socket);
    connection.data.context = hooks.context;
    connection.data.hooks = std::move(hooks);
    connection.data.peer = peer;
    connection.data.counted = true;
    ++active_;
    ++activeByPeer_[peer];
}

void modFalquor::Refuse(int socket, std::string_view line) {
    NewConnection(socket);
    SendToSocket(socket, line);
    CloseWhenFlushed(socket);
    Watch(socket);  // for the reads of the linger
}

bool modFalquor::Watch(int socket) {
    return platform::WSAAsyncSelect(socket, this, kConnectionMessage,
                                    platform::FD_READ | platform::FD_WRITE) == 0;
}

Connection* modFalquor::Find(int socket) const {
    const auto it = connections_.find(socket);
    return it == connections_.end() ? nullptr : it->second.get();
}

std::size_t modFalquor::ActiveConnectionsFrom(const platform::IpAddress& peer) const {
    const auto it = activeByPeer_.find(peer);
    return it == activeByPeer_.end() ? 0 : it->second;
}

platform::IpAddress modFalquor::PeerAddress(int socket) const {
    const Connection* connection = Find(socket);
    return connection != nullptr ? connection->data.peer : platform::IpAddress();
}

void modFalquor::StopCounting(Connection& connection) {
    if (connection.data.counted) {
        connection.data.counted = false;
        --active_;
        if (const auto it = activeByPeer_.find(connection.data.peer);
            it != activeByPeer_.end() && --it->second == 0) {
            activeByPeer_.erase(it);
        }
    }
}

void modFalquor::Forget(Connection& connection) {
    const int socket = connection.socket();
    if (connection.data.hooks.closed) {
        notices_.push_back(Notice{socket, connection.data.serial, connection.data.context,
                                  std::move(connection.data.hooks.closed),
                                  connection.closeReason()});
        SchedulePass();
    }
    connections_.erase(socket);
}

void modFalquor::CloseAll() {
    for (const auto& [socket, connection] : connections_) {
        platform::closesocket(socket);
    }
    connections_.clear();
    deadlines_.Clear();
    activeByPeer_.clear();
    active_ = 0;
    dirty_.clear();
    notices_.clear();
}

// ---- TLS

void modFalquor::SetTls(std::unique_ptr<TlsContext> context) {
    tls_ = std::move(context);
}

bool modFalquor::Encrypted(int socket) const {
    const Connection* connection = Find(socket);
    return connection != nullptr && connection->transport().Encrypted();
}

void modFalquor::StartTls(int socket) {
    Connection* connection = Find(socket);
    if (connection == nullptr || tls_ == nullptr || connection->transport().Encrypted()) {
        return;
    }
    // Bytes that came in clear after the request that started TLS could be anybody's, and
    // would be taken as sent over TLS: they are dropped unread.
    const std::size_t dropped = connection->SwitchTransport(
        std::make_unique<TlsTransport>(socket, tls_->Handle(), connection->output().size()));
    if (dropped > 0) {
        TraceEvent(*connection, "TLS: dropped " + std::to_string(dropped) +
                                    " bytes received before the handshake");
    }
}

// ---- Sending and receiving

// The marker of a sent text: the connection's own, or the one Sendable made for a handle
// that is no connection.
std::string_view modFalquor::SentPrefix(const Connection* connection) const {
    return connection != nullptr ? std::string_view(connection->data.sendPrefix)
                                 : std::string_view(prefix_);
}

// The connection a sent text can be queued on, if any.
Connection* modFalquor::Sendable(int socket) {
    Connection* connection = Find(socket);
    if (connection == nullptr) {
        MakePrefix(prefix_, "[", socket, "-->]");
        return nullptr;
    }
    return connection->Sendable() ? connection : nullptr;
}

bool modFalquor::SendToSocket(int socket, std::string_view text) {
    Connection* connection = Sendable(socket);
    AppendTrace(SentPrefix(connection), text);
    return connection != nullptr && connection->Queue(text, "\r\n");
}

bool modFalquor::SendPart(int socket, std::string_view bytes) {
    Connection* connection = Sendable(socket);
    AppendTrace(SentPrefix(connection), bytes);
    return connection != nullptr && connection->Queue(bytes);
}

bool modFalquor::SendLines(int socket, std::string_view lines) {
    Connection* connection = Sendable(socket);
    trace_.AppendLines(SentPrefix(connection), lines);
    return connection != nullptr && connection->Queue(lines);
}

bool modFalquor::SendFileSpan(int socket, int fd, std::int64_t offset, std::int64_t length) {
    Connection* connection = Sendable(socket);
    if (connection == nullptr || !connection->transport().CanSendFile()) {
        return false;  // and nothing of the file is read
    }
    if (length <= 0) {
        return true;
    }
    const int own = platform::DuplicateFile(fd);
    if (own < 0) {
        connection->Enter(ConnectionState::Failed, "failed: no descriptor for a file span",
                          CloseReason::Reset);
        return false;
    }
    TraceFileSpan(trace_, connection->data.sendPrefix, own, offset, length);
    return connection->Queue(FileSpan{own, offset, length});
}

bool modFalquor::SendBorrowed(int socket, std::span<const std::string_view> pieces,
                              const std::shared_ptr<const void>& keep) {
    Connection* connection = Sendable(socket);
    TracePieces(trace_, SentPrefix(connection), pieces);
    return connection != nullptr && connection->Queue(pieces, keep);
}

bool modFalquor::CanSendFile(int socket) const {
    const Connection* connection = Find(socket);
    return connection != nullptr && connection->transport().CanSendFile();
}

bool modFalquor::ReceiveFromSocket(int socket, std::string& text) {
    text.clear();
    Connection* connection = Find(socket);
    if (connection == nullptr || !connection->NextLine(text)) {
        return false;
    }
    MakePrefix(prefix_, "[-->", socket, "] \r\n");
    if (connection->data.hideNextLine) {
        connection->data.hideNextLine = false;
        AppendTrace(prefix_, "****");
        return true;
    }
    const bool masked = receivedMask_ != nullptr && receivedMask_(text, masked_);
    AppendTrace(prefix_, masked ? std::string_view(masked_) : std::string_view(text));
    return true;
}

void modFalquor::HideNextReceived(int socket) {
    if (Connection* connection = Find(socket)) {
        connection->data.hideNextLine = true;
    }
}

bool modFalquor::Congested(int socket) const {
    const Connection* connection = Find(socket);
    return connection != nullptr && connection->output().congested();
}

InputEnd modFalquor::InputState(int socket) const {
    const Connection* connection = Find(socket);
    return connection == nullptr ? InputEnd::Failed : connection->InputState();
}

std::size_t modFalquor::PendingOutput(int socket) const {
    const Connection* connection = Find(socket);
    return connection == nullptr ? 0 : connection->output().size();
}

void modFalquor::CloseWhenFlushed(int socket) {
    Connection* connection = Find(socket);
    if (connection == nullptr) {
        return;
    }
    switch (connection->state()) {
        case ConnectionState::Open:
        case ConnectionState::PeerClosed:
        case ConnectionState::LineTooLong:
            connection->Enter(ConnectionState::Closing);
            break;
        default:
            break;  // closing already, or failed and closed by the next pass
    }
}

void modFalquor::TraceEvent(const Connection& connection, std::string_view what) {
    MakePrefix(prefix_, "[", connection.socket(), "]");
    AppendTrace(prefix_, what);
}

// ---- Deadlines

void modFalquor::SetIdleTimeout(std::chrono::milliseconds timeout) {
    deadlines_.SetIdleTimeout(timeout);
}

void modFalquor::SetHandshakeLimit(std::chrono::milliseconds limit) {
    deadlines_.SetHandshakeLimit(limit);
}

// ---- The pass: notices to owners, then the writes they caused

void modFalquor::RequestTurn(int socket) {
    if (Connection* connection = Find(socket)) {
        NotifyReady(*connection);
    }
}

void modFalquor::NotifyReady(Connection& connection) {
    if (!connection.data.readyPosted && connection.data.hooks.ready) {
        connection.data.readyPosted = true;
        notices_.push_back(Notice{connection.socket(), connection.data.serial, {}, {}, {}});
        SchedulePass();
    }
}

void modFalquor::MarkDirty(Connection& connection) {
    if (!connection.data.dirty) {
        connection.data.dirty = true;
        dirty_.push_back(connection.socket());
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
                notice.closed(notice.reason);
            }
            continue;
        }
        Connection* connection = Find(notice.socket);
        if (connection == nullptr || connection->data.serial != notice.serial) {
            continue;
        }
        connection->data.readyPosted = false;
        if (!connection->data.context.isNull()) {
            // A copy: the owner may close everything, this connection included.
            const std::function<void()> ready = connection->data.hooks.ready;
            ready();
        }
    }
    // Write what the notices produced in the same pass.
    std::vector<int> sockets;
    sockets.swap(dirty_);
    for (const int socket : sockets) {
        if (Connection* connection = Find(socket)) {
            connection->data.dirty = false;
            connection->Advance();
        }
    }
    inPass_ = false;
    if (!notices_.empty() || !dirty_.empty()) {
        SchedulePass();
    }
}

void modFalquor::OnSocketEvent(int socket, long events) {
    Connection* connection = Find(socket);
    if (connection != nullptr && (events & platform::FD_WRITE) != 0) {
        connection->Advance();
        connection = Find(socket);
    }
    if (connection != nullptr && (events & platform::FD_READ) != 0) {
        connection->OnReadable();
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
