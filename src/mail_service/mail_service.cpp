#include "mail_service/mail_service.h"

#include "mail_service/authenticator.h"
#include "mail_service/conversation.h"
#include "mail_service/pop3_interpreter.h"
#include "mail_service/proxy_header.h"
#include "mail_service/service_events.h"
#include "mail_service/socket_channel.h"
#include "platform/descriptor_limit.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"

#include <QTimer>

#include <algorithm>

// One open connection: its channel and the conversation of its kind.
struct MailService::Connection {
    Connection(modFalquor& falquor, int socket, ConnectionSlot& slot, const MaildropStore& store,
               Authenticator* auth, ServiceLog* log, MaildropLocks* locks)
        : channel(falquor, socket),
          pop3(std::make_unique<Conversation>(
              slot, channel, store, [this] { channel.RequestTurn(); }, auth, log, locks)) {}
    Connection(modFalquor& falquor, int socket, ConnectionSlot& slot, DeliveryProtocol protocol,
               DeliveryWorkers& workers, const DeliveryPolicy& policy, Authenticator* auth,
               ServiceLog* log)
        : channel(falquor, socket),
          delivery(std::make_unique<DeliveryConversation>(
              protocol, slot, channel, workers, policy, [this] { channel.RequestTurn(); }, auth,
              log)) {}

    int Serve() { return pop3 ? pop3->Serve() : delivery->Serve(); }
    void Greet() {
        if (pop3) {
            ::Greet(channel);
        } else {
            delivery->Greet();
        }
    }

    SocketChannel channel;
    std::unique_ptr<Conversation> pop3;
    std::unique_ptr<DeliveryConversation> delivery;
};

MailService::MailService(modFalquor& falquor, MaildropStore store, QObject* parent)
    : QObject(parent),
      falquor_(falquor),
      store_(std::move(store)),
      list_([this](int row) { return NumberAt(row); }) {
    deliveryPolicy_.hostName = LocalHostName();
    // Slot 0: the listening slot, which holds no connection and is never let go.
    records_.push_back(Record{0, true, std::make_unique<ConnectionSlot>(), {}});
    records_.front().full->blankFileEntry = true;
    list_.Append();
    // Reading a maildrop full of new mail must not hold up everyone else.
    store_.CountOffLoop();
}

MailService::~MailService() {
    Stop();
}

void MailService::SetAuthenticator(Authenticator* auth) {
    auth_ = auth;
    const bool secret = auth != nullptr && auth->ChecksPasswords();
    falquor_.SetReceivedTraceMask(secret ? MaskPassword : nullptr);
}

void MailService::SetClosedRecordsKept(std::size_t count) {
    closedKept_ = count;
    ForgetOldRecords();
}

void MailService::Stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    LogStop(log_, connections_.size());
    for (const Listening& listener : listeners_) {
        falquor_.CloseSocket(listener.socket);
    }
    listeners_.clear();
    for (const auto& [socket, waiting] : waitingHeaders_) {
        platform::closesocket(socket);
    }
    waitingHeaders_.clear();
    falquor_.CloseAll();
    platform::WSACleanup();
    connections_.clear();
}

bool MailService::event(QEvent* event) {
    if (event->type() != platform::SocketEvent::type()) {
        return QObject::event(event);
    }
    // Only the listening sockets report here; connections report to the socket layer.
    const auto* socketEvent = static_cast<const platform::SocketEvent*>(event);
    if (socketEvent->message() == kProxyHeaderMessage) {
        ReadHeader(socketEvent->socket());
    } else if (socketEvent->message() == kAcceptMessage && running_) {
        for (const Listening& listener : listeners_) {
            if (listener.socket == socketEvent->socket()) {
                Accept(listener.socket, listener.kind);
                break;
            }
        }
    }
    return true;
}

void MailService::Accept(int listener, Listener kind) {
    char address[64] = {};
    int length = sizeof address;
    const int socket = platform::accept(listener, address, &length);
    if (socket == platform::kInvalidSocket) {
        const int error = platform::WSAGetLastError();
        if (error == platform::WSAEMFILE || error == platform::WSAENOBUFS) {
            PauseAccepting();
        }
        return;  // no connection, no record
    }
    const IpAddress peer = platform::PeerIp(address, length);
    const int peerPort = platform::PeerPort(address, length);
    const std::string_view listenerName = ListenerName(kind);
    // The system hands out the lowest free descriptor, so a number this high means fewer than
    // the reserve are left for the program's own work: stop taking connections for a while.
    if (descriptorLimit_ > 0 &&
        socket >= descriptorLimit_ - std::min(kDescriptorReserve, descriptorLimit_ / 4)) {
        platform::closesocket(socket);
        LogRefused(log_, peer, peerPort, listenerName, "descriptors");
        PauseAccepting();
        return;
    }
    // Local clients have no address, and cannot be a balancer.
    if (kind == Listener::LmtpLocal || !InNetworks(limits_.proxyFrom, peer)) {
        TakeOn(socket, peer, peerPort, kind, nullptr);
        return;
    }
    // A balancer: the client it carries is known once its header is read, in the clear (also
    // on the TLS port) and before any greeting; the limits apply to that client.
    const std::uint64_t serial = ++waitingSerial_;
    waitingHeaders_[socket] = WaitingHeader{{}, peer, peerPort, kind, serial};
    QTimer::singleShot(falquor_.IdleTimeout(), this, [this, socket, serial] {
        const auto it = waitingHeaders_.find(socket);
        if (it != waitingHeaders_.end() && it->second.serial == serial) {
            DropWaiting(socket, "timeout");
        }
    });
    if (platform::WSAAsyncSelect(socket, this, kProxyHeaderMessage, platform::FD_READ) != 0) {
        DropWaiting(socket, "unwatchable");
        return;
    }
    ReadHeader(socket);  // it may have come with the connection
}

void MailService::ReadHeader(int socket) {
    const auto it = waitingHeaders_.find(socket);
    if (it == waitingHeaders_.end()) {
        return;  // a late report of one already taken on or dropped
    }
    WaitingHeader& waiting = it->second;
    // Peeked first, then only the header's own bytes taken: whatever follows it (a command, a
    // TLS ClientHello in the same packet) stays in the socket for the connection to read.
    char peeked[kMostProxyHeader];
    const int room = static_cast<int>(kMostProxyHeader - waiting.bytes.size());
    const int n = platform::recv(socket, peeked, room, platform::MSG_PEEK_);
    if (n == 0) {
        DropWaiting(socket, "closed");
        return;
    }
    if (n < 0) {
        if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) {
            DropWaiting(socket, "reset");
        }
        return;
    }
    const std::size_t before = waiting.bytes.size();
    waiting.bytes.append(peeked, static_cast<std::size_t>(n));
    const ProxyHeader header = ReadProxyHeader(waiting.bytes);
    if (header.status == ProxyHeader::Status::Malformed) {
        DropWaiting(socket, header.problem);
        return;
    }
    // Needing more, every byte so far is the header's; complete, only up to its end.
    const std::size_t own = header.status == ProxyHeader::Status::Ok ? header.size - before
                                                                     : static_cast<std::size_t>(n);
    waiting.bytes.resize(before + own);
    if (platform::recv(socket, peeked, static_cast<int>(own), 0) != static_cast<int>(own)) {
        DropWaiting(socket, "reset");
        return;
    }
    if (header.status == ProxyHeader::Status::NeedMore) {
        return;
    }
    const WaitingHeader proxy = std::move(waiting);
    waitingHeaders_.erase(it);
    platform::WSAAsyncSelect(socket, this, kProxyHeaderMessage, 0);
    TakeOn(socket, header.carries ? header.address : proxy.peer,
           header.carries ? header.port : proxy.peerPort, proxy.kind, &proxy);
}

void MailService::DropWaiting(int socket, std::string_view why) {
    const auto it = waitingHeaders_.find(socket);
    if (it == waitingHeaders_.end()) {
        return;
    }
    LogProxyRefused(log_, it->second.peer, it->second.peerPort, ListenerName(it->second.kind), why);
    waitingHeaders_.erase(it);
    platform::closesocket(socket);
    ResumeAccepting();  // a descriptor is free again
}

void MailService::TakeOn(int socket, const IpAddress& peer, int peerPort, Listener kind,
                         const WaitingHeader* proxy) {
    const bool encrypted = kind == Listener::Pop3s;
    const std::string_view listenerName = ListenerName(kind);
    // Local clients have no address of their own to be counted by.
    if (const std::string_view limit = ExceededLimit(peer, kind != Listener::LmtpLocal);
        !limit.empty()) {
        LogRefused(log_, peer, peerPort, listenerName, limit);
        if (encrypted) {
            platform::closesocket(socket);  // a line in clear would mean nothing to its client
        } else if (kind != Listener::Pop3) {
            falquor_.Refuse(socket, "421 4.3.2 Too many connections; try later");
        } else {
            falquor_.Refuse(socket, TooManyConnectionsLine());
        }
        return;  // no record, no selector entry
    }
    lastSocket_ = socket;
    const int n = nextNumber_++;
    ConnectionSlot& slot =
        *records_.emplace_back(Record{n, true, std::make_unique<ConnectionSlot>(), {}}).full;
    list_.Append();
    slot.socket = socket;
    slot.state = SessionState::Authorisation;
    slot.number = n;
    slot.peerAddress = peer;
    slot.peerPort = static_cast<std::uint16_t>(peerPort);
    if (proxy != nullptr) {
        slot.proxied = true;
        slot.proxyAddress = proxy->peer;
        slot.proxyPort = static_cast<std::uint16_t>(proxy->peerPort);
    }
    std::unique_ptr<Connection> connection;
    if (kind == Listener::Pop3 || kind == Listener::Pop3s) {
        connection =
            std::make_unique<Connection>(falquor_, socket, slot, store_, auth_, log_, &locks_);
    } else {
        connection = std::make_unique<Connection>(
            falquor_, socket, slot,
            kind == Listener::Smtp ? DeliveryProtocol::Smtp : DeliveryProtocol::Lmtp,
            deliveryWorkers_, deliveryPolicy_, auth_, log_);
        if (kind == Listener::LmtpLocal) {
            connection->delivery->ForbidTls();
        }
    }
    falquor_.Attach(socket,
                    ConnectionHooks{this, [this, n] { Serve(n); },
                                    [this, n](CloseReason why) { OnClosed(n, why); }},
                    peer);
    if (proxy != nullptr) {
        std::string note = "PROXY: client ";
        peer.AppendWithPort(note, peerPort);
        note += " by ";
        proxy->peer.AppendWithPort(note, proxy->peerPort);
        falquor_.TraceNote(socket, note);
    }
    Connection& c = *connection;
    connections_[n] = std::move(connection);
    LogAccepted(log_, slot, listenerName);
    emit Accepted(n);
    if (encrypted) {
        falquor_.StartTls(socket);  // the greeting waits for the handshake
    }
    c.Greet();
    if (!falquor_.Watch(socket)) {
        emit Problem(QStringLiteral("Unable to set Asynch mode"));
    }
}

bool MailService::Serve(int number) {
    const auto it = connections_.find(number);
    if (it == connections_.end()) {
        return false;
    }
    if (it->second->Serve() > 0) {
        emit Served(number);
    } else {
        emit Changed(number);
    }
    return true;
}

void MailService::OnClosed(int number, CloseReason why) {
    const auto connection = connections_.find(number);
    Record* record = Find(number);
    if (connection != connections_.end() && record != nullptr && record->full != nullptr) {
        ConnectionSlot& slot = *record->full;
        if (slot.state == SessionState::Transaction) {
            LogLogout(log_, slot, nullptr);  // no QUIT: the marks go unhonoured
        }
        LogClosed(log_, slot, why);
    }
    if (connection != connections_.end()) {
        connections_.erase(connection);
    }
    if (record != nullptr) {
        record->open = false;
        ++closedRecords_;
    }
    // Only recent records keep their lists; older ones keep a summary of their fields.
    closedKeepingLists_.push_back(number);
    if (closedKeepingLists_.size() > kClosedKeepingLists) {
        const int released = closedKeepingLists_.front();
        closedKeepingLists_.pop_front();
        if (Record* old = Find(released)) {
            emit Releasing(released, false);
            old->summary = SlotSummary::Of(*old->full);
            old->full.reset();
        }
    }
    ForgetOldRecords();
    ResumeAccepting();  // a descriptor is free again
    emit Changed(number);
}

void MailService::ForgetOldRecords() {
    // Open connections stay whatever their age; the oldest closed one goes first. Those before
    // it are open, so the search stops within the open connections.
    std::size_t row = 1;
    while (closedRecords_ > closedKept_ && row < records_.size()) {
        if (records_[row].open) {
            ++row;
            continue;
        }
        emit Releasing(records_[row].number, true);
        list_.Remove(static_cast<int>(row),
                     [&] { records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(row)); });
        --closedRecords_;
    }
}

int MailService::RowOf(int number) const {
    const auto it = std::lower_bound(records_.begin(), records_.end(), number,
                                     [](const Record& r, int n) { return r.number < n; });
    return it != records_.end() && it->number == number ? static_cast<int>(it - records_.begin())
                                                        : -1;
}

MailService::Record* MailService::Find(int number) {
    const int row = RowOf(number);
    return row < 0 ? nullptr : &records_[static_cast<std::size_t>(row)];
}

ConnectionSlot* MailService::Slot(int number) {
    Record* record = Find(number);
    return record == nullptr ? nullptr : record->full.get();
}

const ConnectionSlot* MailService::Slot(int number) const {
    const int row = RowOf(number);
    return row < 0 ? nullptr : records_[static_cast<std::size_t>(row)].full.get();
}

ConnectionSlot MailService::Fields(int number) const {
    const int row = RowOf(number);
    if (row < 0) {
        return {};
    }
    const Record& record = records_[static_cast<std::size_t>(row)];
    if (record.full == nullptr) {
        return record.summary.Fields();
    }
    ConnectionSlot fields;
    fields.request = record.full->request;
    fields.socket = record.full->socket;
    fields.state = record.full->state;
    fields.kind = record.full->kind;
    fields.stage = record.full->stage;
    fields.user = record.full->user;
    fields.totalCount = record.full->totalCount;
    fields.totalSize = record.full->totalSize;
    return fields;
}

std::string_view MailService::ExceededLimit(const IpAddress& peer, bool perAddress) const {
    if (limits_.total > 0 && falquor_.ActiveConnections() >= limits_.total) {
        return "connections";
    }
    if (perAddress && limits_.perAddress > 0 &&
        falquor_.ActiveConnectionsFrom(peer) >= limits_.perAddress &&
        !InNetworks(limits_.trusted, peer)) {
        return "per-address";
    }
    return {};
}
