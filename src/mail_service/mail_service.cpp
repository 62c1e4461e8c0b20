#include "mail_service/mail_service.h"

#include "mail_service/authenticator.h"
#include "mail_service/conversation.h"
#include "mail_service/pop3_interpreter.h"
#include "mail_service/service_events.h"
#include "mail_service/socket_channel.h"
#include "platform/descriptor_limit.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"

#include <QTimer>

#include <unistd.h>

#include <algorithm>

namespace {

// How long accepting rests when the process has no descriptor left for a new connection.
constexpr int kAcceptPauseMs = 100;

// The listeners as the log names them.
constexpr std::string_view kPlainListener = "pop3";
constexpr std::string_view kTlsListener = "pop3s";
constexpr std::string_view kLmtpListener = "lmtp";
constexpr std::string_view kSmtpListener = "smtp";
constexpr std::string_view kLmtpLocalListener = "lmtp-local";

std::string HostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') {
        return "localhost";
    }
    return buffer;
}

}  // namespace

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
    deliveryPolicy_.hostName = HostName();
    // Slot 0: the listening slot, which holds no connection and is never let go.
    records_.push_back(Record{0, true, std::make_unique<ConnectionSlot>(), {}});
    records_.front().full->blankFileEntry = true;
    list_.Append();
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

void MailService::SetListening(int port, int tlsPort, std::uint32_t address) {
    port_ = port;
    tlsPort_ = tlsPort;
    listenAddress_ = address;
}

void MailService::SetDeliveryListening(int lmtpPort, int smtpPort) {
    lmtpPort_ = lmtpPort;
    smtpPort_ = smtpPort;
}

void MailService::UseDeliveryListeningSockets(int lmtp, int smtp, int lmtpLocal) {
    lmtpListeningSocket_ = lmtp;
    smtpListeningSocket_ = smtp;
    lmtpLocalSocket_ = lmtpLocal;
    deliveryListenersGiven_ = true;
}

void MailService::UseListeningSockets(int plain, int tls) {
    listeningSocket_ = plain;
    tlsListeningSocket_ = tls;
    listenersGiven_ = true;
}

QString MailService::Start() {
    if (running_) {
        return {};
    }
    falquor_.StartWinSock();
    descriptorLimit_ = platform::DescriptorLimit();
    if (!listenersGiven_) {
        listeningSocket_ = modFalquor::OpenListener(port_, listenAddress_);
        if (tlsPort_ >= 0) {
            tlsListeningSocket_ = modFalquor::OpenListener(tlsPort_, listenAddress_);
        }
    }
    if (!deliveryListenersGiven_) {
        if (lmtpPort_ >= 0) {
            lmtpListeningSocket_ = modFalquor::OpenListener(lmtpPort_, listenAddress_);
        }
        if (smtpPort_ >= 0) {
            smtpListeningSocket_ = modFalquor::OpenListener(smtpPort_, listenAddress_);
        }
    }
    const std::pair<int, int> listeners[] = {{listeningSocket_, port_},
                                             {tlsListeningSocket_, tlsPort_},
                                             {lmtpListeningSocket_, lmtpPort_},
                                             {smtpListeningSocket_, smtpPort_},
                                             {lmtpLocalSocket_, lmtpLocalSocket_ >= 0 ? 0 : -1}};
    for (const auto& [socket, port] : listeners) {
        if (port < 0) {
            continue;  // no TLS port
        }
        if (socket == platform::kInvalidSocket) {
            return QStringLiteral("Could not listen on Port  %1").arg(port);
        }
        if (platform::WSAAsyncSelect(socket, this, kAcceptMessage, platform::FD_ACCEPT) != 0) {
            emit Problem(QStringLiteral("Unable to set Asynch mode"));
        }
    }
    running_ = true;
    LogListening(log_, kPlainListener, listenAddress_, ListeningPort(),
                 falquor_.TlsConfigured() ? "stls" : "no");
    if (tlsPort_ >= 0) {
        LogListening(log_, kTlsListener, listenAddress_, TlsListeningPort(), "implicit");
    }
    const char* deliveryTls = falquor_.TlsConfigured() ? "starttls" : "no";
    if (lmtpPort_ >= 0) {
        LogListening(log_, kLmtpListener, listenAddress_, LmtpListeningPort(), deliveryTls);
    }
    if (smtpPort_ >= 0) {
        LogListening(log_, kSmtpListener, listenAddress_, SmtpListeningPort(), deliveryTls);
    }
    return {};
}

void MailService::Stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    LogStop(log_, connections_.size());
    for (int* listener : {&listeningSocket_, &tlsListeningSocket_, &lmtpListeningSocket_,
                          &smtpListeningSocket_, &lmtpLocalSocket_}) {
        if (*listener >= 0) {
            falquor_.CloseSocket(*listener);
            *listener = -1;
        }
    }
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
    if (socketEvent->message() == kAcceptMessage && socketEvent->socket() >= 0) {
        for (const Listener kind : {Listener::Pop3, Listener::Pop3s, Listener::Lmtp, Listener::Smtp,
                                    Listener::LmtpLocal}) {
            if (SocketOf(kind) == socketEvent->socket()) {
                AcceptFrom(kind);
                break;
            }
        }
    }
    return true;
}

int& MailService::SocketOf(Listener kind) {
    switch (kind) {
        case Listener::Pop3:
            break;
        case Listener::Pop3s:
            return tlsListeningSocket_;
        case Listener::Lmtp:
            return lmtpListeningSocket_;
        case Listener::Smtp:
            return smtpListeningSocket_;
        case Listener::LmtpLocal:
            return lmtpLocalSocket_;
    }
    return listeningSocket_;
}

void MailService::AcceptFrom(bool encrypted) {
    AcceptFrom(encrypted ? Listener::Pop3s : Listener::Pop3);
}

void MailService::AcceptFrom(Listener kind) {
    if (running_) {
        Accept(SocketOf(kind), kind);
    }
}

void MailService::Accept(int listener, Listener kind) {
    const bool encrypted = kind == Listener::Pop3s;
    char address[38] = {};
    int length = sizeof address;
    const int socket = platform::accept(listener, address, &length);
    if (socket == platform::kInvalidSocket) {
        const int error = platform::WSAGetLastError();
        if (error == platform::WSAEMFILE || error == platform::WSAENOBUFS) {
            PauseAccepting();
        }
        return;  // no connection, no record
    }
    const std::uint32_t peer = platform::PeerIPv4(address, length);
    const int peerPort = platform::PeerPort(address, length);
    const std::string_view listenerName = kind == Listener::Pop3s       ? kTlsListener
                                          : kind == Listener::Lmtp      ? kLmtpListener
                                          : kind == Listener::Smtp      ? kSmtpListener
                                          : kind == Listener::LmtpLocal ? kLmtpLocalListener
                                                                        : kPlainListener;
    // The system hands out the lowest free descriptor, so a number this high means fewer than
    // the reserve are left for the program's own work: stop taking connections for a while.
    if (descriptorLimit_ > 0 &&
        socket >= descriptorLimit_ - std::min(kDescriptorReserve, descriptorLimit_ / 4)) {
        platform::closesocket(socket);
        LogRefused(log_, peer, peerPort, listenerName, "descriptors");
        PauseAccepting();
        return;
    }
    if (const std::string_view limit = ExceededLimit(peer); !limit.empty()) {
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
    std::unique_ptr<Connection> connection;
    if (kind == Listener::Pop3 || kind == Listener::Pop3s) {
        connection =
            std::make_unique<Connection>(falquor_, socket, slot, store_, auth_, log_, &locks_);
    } else {
        slot.kind = kind == Listener::Smtp ? SessionKind::Smtp : SessionKind::Lmtp;
        connection = std::make_unique<Connection>(
            falquor_, socket, slot,
            kind == Listener::Smtp ? DeliveryProtocol::Smtp : DeliveryProtocol::Lmtp,
            deliveryWorkers_, deliveryPolicy_, auth_, log_);
    }
    falquor_.Attach(socket,
                    ConnectionHooks{this, [this, n] { Serve(n); },
                                    [this, n](CloseReason why) { OnClosed(n, why); }},
                    peer);
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
    fields.user = record.full->user;
    fields.totalCount = record.full->totalCount;
    fields.totalSize = record.full->totalSize;
    return fields;
}

void MailService::PauseAccepting() {
    if (acceptPaused_) {
        return;
    }
    acceptPaused_ = true;
    AskForAccepts(0);
    QTimer::singleShot(kAcceptPauseMs, this, &MailService::ResumeAccepting);
}

void MailService::ResumeAccepting() {
    if (acceptPaused_ && running_) {
        acceptPaused_ = false;
        AskForAccepts(platform::FD_ACCEPT);
    }
}

void MailService::AskForAccepts(long events) {
    for (const int listener : {listeningSocket_, tlsListeningSocket_, lmtpListeningSocket_,
                               smtpListeningSocket_, lmtpLocalSocket_}) {
        if (listener >= 0) {
            platform::WSAAsyncSelect(listener, this, kAcceptMessage, events);
        }
    }
}

std::string_view MailService::ExceededLimit(std::uint32_t peer) const {
    if (limits_.total > 0 && falquor_.ActiveConnections() >= limits_.total) {
        return "connections";
    }
    if (limits_.perAddress > 0 && falquor_.ActiveConnectionsFrom(peer) >= limits_.perAddress &&
        !InNetworks(limits_.trusted, peer)) {
        return "per-address";
    }
    return {};
}

int MailService::ListeningPort() const {
    return platform::LocalPort(listeningSocket_);
}

int MailService::TlsListeningPort() const {
    return tlsListeningSocket_ >= 0 ? platform::LocalPort(tlsListeningSocket_) : -1;
}

int MailService::LmtpListeningPort() const {
    return lmtpListeningSocket_ >= 0 ? platform::LocalPort(lmtpListeningSocket_) : -1;
}

int MailService::SmtpListeningPort() const {
    return smtpListeningSocket_ >= 0 ? platform::LocalPort(smtpListeningSocket_) : -1;
}
