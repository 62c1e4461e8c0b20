#include "mail_service/mail_service.h"

#include "mail_service/service_events.h"
#include "platform/descriptor_limit.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"

#include <QTimer>

// The listeners: where they listen, what they are called, and taking connections from them
// while the process has descriptors to spare.

namespace {

// How long accepting rests when the process has no descriptor left for a new connection.
constexpr int kAcceptPauseMs = 100;

// The listeners as the log names them.
constexpr std::string_view kPlainListener = "pop3";
constexpr std::string_view kTlsListener = "pop3s";
constexpr std::string_view kLmtpListener = "lmtp";
constexpr std::string_view kSmtpListener = "smtp";
constexpr std::string_view kLmtpLocalListener = "lmtp-local";

}  // namespace

void MailService::SetListening(int port, int tlsPort, std::vector<IpAddress> addresses) {
    port_ = port;
    tlsPort_ = tlsPort;
    listenAddresses_ = std::move(addresses);
}

void MailService::UseListeningSockets(std::vector<int> plain, std::vector<int> tls) {
    SetListeners(Listener::Pop3, std::move(plain));
    SetListeners(Listener::Pop3s, std::move(tls));
    listenersGiven_ = true;
}

void MailService::SetDeliveryListening(int lmtpPort, int smtpPort) {
    lmtpPort_ = lmtpPort;
    smtpPort_ = smtpPort;
}

void MailService::UseDeliveryListeningSockets(std::vector<int> lmtp, std::vector<int> smtp,
                                              int lmtpLocal) {
    SetListeners(Listener::Lmtp, std::move(lmtp));
    SetListeners(Listener::Smtp, std::move(smtp));
    SetListeners(Listener::LmtpLocal,
                 lmtpLocal >= 0 ? std::vector<int>{lmtpLocal} : std::vector<int>());
    deliveryListenersGiven_ = true;
}

void MailService::SetListeners(Listener kind, std::vector<int> sockets) {
    std::erase_if(listeners_, [kind](const Listening& l) { return l.kind == kind; });
    for (const int socket : sockets) {
        listeners_.push_back({socket, kind});
    }
}

int MailService::PortAskedFor(Listener kind) const {
    switch (kind) {
        case Listener::Pop3:
            return port_;
        case Listener::Pop3s:
            return tlsPort_;
        case Listener::Lmtp:
            return lmtpPort_;
        case Listener::Smtp:
            return smtpPort_;
        case Listener::LmtpLocal:
            break;
    }
    return -1;  // given as a socket, never opened here
}

std::string_view MailService::ListenerName(Listener kind) {
    switch (kind) {
        case Listener::Pop3:
            break;
        case Listener::Pop3s:
            return kTlsListener;
        case Listener::Lmtp:
            return kLmtpListener;
        case Listener::Smtp:
            return kSmtpListener;
        case Listener::LmtpLocal:
            return kLmtpLocalListener;
    }
    return kPlainListener;
}

QString MailService::Start() {
    if (running_) {
        return {};
    }
    falquor_.StartWinSock();
    descriptorLimit_ = platform::DescriptorLimit();
    constexpr Listener kOpened[] = {Listener::Pop3, Listener::Pop3s, Listener::Lmtp,
                                    Listener::Smtp};
    for (const Listener kind : kOpened) {
        const bool given = kind == Listener::Pop3 || kind == Listener::Pop3s
                               ? listenersGiven_
                               : deliveryListenersGiven_;
        if (!given && PortAskedFor(kind) >= 0) {
            SetListeners(kind, modFalquor::OpenListeners(PortAskedFor(kind), listenAddresses_));
        }
        if (PortAskedFor(kind) >= 0 && ListenerOf(kind) < 0) {
            return QStringLiteral("Could not listen on Port  %1").arg(PortAskedFor(kind));
        }
    }
    for (const Listening& listener : listeners_) {
        if (platform::WSAAsyncSelect(listener.socket, this, kAcceptMessage, platform::FD_ACCEPT) !=
            0) {
            emit Problem(QStringLiteral("Unable to set Asynch mode"));
        }
    }
    running_ = true;
    const char* deliveryTls = falquor_.TlsConfigured() ? "starttls" : "no";
    for (const Listening& listener : listeners_) {
        if (listener.kind == Listener::LmtpLocal) {
            continue;  // a path, named at start
        }
        const char* tls = listener.kind == Listener::Pop3s ? "implicit"
                          : listener.kind == Listener::Pop3
                              ? (falquor_.TlsConfigured() ? "stls" : "no")
                              : deliveryTls;
        LogListening(log_, ListenerName(listener.kind), platform::LocalAddress(listener.socket),
                     platform::LocalPort(listener.socket), tls);
    }
    return {};
}

void MailService::AcceptFrom(bool encrypted) {
    AcceptFrom(encrypted ? Listener::Pop3s : Listener::Pop3);
}

void MailService::AcceptFrom(Listener kind) {
    if (running_ && ListenerOf(kind) >= 0) {
        Accept(ListenerOf(kind), kind);
    }
}

int MailService::ListenerOf(Listener kind) const {
    for (const Listening& listener : listeners_) {
        if (listener.kind == kind) {
            return listener.socket;
        }
    }
    return -1;
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
    for (const Listening& listener : listeners_) {
        platform::WSAAsyncSelect(listener.socket, this, kAcceptMessage, events);
    }
}

int MailService::ListeningPort() const {
    return platform::LocalPort(ListenerOf(Listener::Pop3));
}

int MailService::TlsListeningPort() const {
    return ListenerOf(Listener::Pop3s) >= 0 ? platform::LocalPort(ListenerOf(Listener::Pop3s)) : -1;
}

int MailService::LmtpListeningPort() const {
    return ListenerOf(Listener::Lmtp) >= 0 ? platform::LocalPort(ListenerOf(Listener::Lmtp)) : -1;
}

int MailService::SmtpListeningPort() const {
    return ListenerOf(Listener::Smtp) >= 0 ? platform::LocalPort(ListenerOf(Listener::Smtp)) : -1;
}
