#include "platform/winsock.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace platform {
namespace {

struct Registration {
    QPointer<QObject> receiver;
    unsigned message = 0;
    long events = 0;
    // Notifiers are deleted later, never inside their own signal.
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
};

struct SocketState {
    bool bound = false;
    bool listening = false;
    Registration registration;
};

struct Library {
    bool started = false;
    bool failStartup = false;
    int lastError = 0;
    std::unordered_map<int, SocketState> sockets;
};

Library& lib() {
    static Library instance;
    return instance;
}

int ToWinSockError(int error) {
    switch (error) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAENOTSOCK;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
            return WSAEWOULDBLOCK;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case ENOTCONN:
            return WSAENOTCONN;
        case EPIPE:
            return WSAESHUTDOWN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        default:
            return WSAEINVAL;
    }
}

int Fail(int winsockError) {
    lib().lastError = winsockError;
    return kSocketError;
}

int FailErrno() {
    return Fail(ToWinSockError(errno));
}

SocketState* Find(int s) {
    auto it = lib().sockets.find(s);
    return it == lib().sockets.end() ? nullptr : &it->second;
}

void Discard(QSocketNotifier*& notifier) {
    if (notifier != nullptr) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
}

void Drop(Registration& r) {
    Discard(r.reader);
    Discard(r.writer);
    r = Registration{};
}

// A handle the system hands out again after a close starts with no registration.
void Adopt(int s) {
    auto [it, fresh] = lib().sockets.try_emplace(s);
    if (!fresh) {
        Drop(it->second.registration);
        it->second = SocketState{};
    }
}

void Deliver(int s, QSocketNotifier::Type type) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return;
    }
    Registration& r = state->registration;
    QSocketNotifier* notifier = type == QSocketNotifier::Read ? r.reader : r.writer;
    if (notifier != nullptr) {
        notifier->setEnabled(false);  // re-armed by the next recv, accept or refused send
    }
    long bits = type == QSocketNotifier::Write ? FD_WRITE : state->listening ? FD_ACCEPT : FD_READ;
    bits &= r.events;
    QPointer<QObject> receiver = r.receiver;
    if (bits == 0 || receiver.isNull()) {
        return;
    }
    SocketEvent event(r.message, s, bits);
    QCoreApplication::sendEvent(receiver, &event);
}

QSocketNotifier* MakeNotifier(int s, QSocketNotifier::Type type) {
    auto* notifier = new QSocketNotifier(s, type);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [s, type] { Deliver(s, type); });
    return notifier;
}

void ArmReader(int s) {
    if (SocketState* state = Find(s); state != nullptr && state->registration.reader != nullptr) {
        state->registration.reader->setEnabled(true);
    }
}

void ArmWriter(int s) {
    if (SocketState* state = Find(s); state != nullptr && state->registration.writer != nullptr) {
        state->registration.writer->setEnabled(true);
    }
}

}  // namespace

int MaxBacklog() {
    return SOMAXCONN;
}

SocketEvent::SocketEvent(unsigned message, int socket, long events)
    : QEvent(type()), message_(message), socket_(socket), events_(events) {}

QEvent::Type SocketEvent::type() {
    static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
    return registered;
}

void SetStartupFailsForTesting(bool fails) {
    lib().failStartup = fails;
}

void AdoptSocketForTesting(int s) {
    Adopt(s);
}

int WSAStartup(std::uint16_t version, WSAData* data) {
    if (lib().failStartup) {
        return WSASYSNOTREADY;
    }
    if (data != nullptr) {
        *data = WSAData{};
        data->version = version;
        data->highVersion = 0x0202;
        snprintf(data->description, sizeof data->description, "POSIX sockets");
        snprintf(data->systemStatus, sizeof data->systemStatus, "Running");
    }
    lib().started = true;
    return 0;
}

int WSACleanup() {
    if (!lib().started) {
        return Fail(WSANOTINITIALISED);
    }
    for (auto& [s, state] : lib().sockets) {
        Drop(state.registration);
        ::close(s);
    }
    lib().sockets.clear();
    lib().started = false;
    return 0;
}

int WSAGetLastError() {
    return lib().lastError;
}

int socket(int family, int type, int protocol) {
    if (!lib().started) {
        return Fail(WSANOTINITIALISED);
    }
    if (family != AF_INET_ || type != SOCK_STREAM_) {
        return Fail(WSAEAFNOSUPPORT);
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
    if (s == -1) {
        return FailErrno();
    }
    Adopt(s);
    return s;
}

int bind(int s, const SocketAddress& address, int length) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(lib().started ? WSAENOTSOCK : WSANOTINITIALISED);
    }
    if (length <
        static_cast<int>(sizeof(std::int16_t) + sizeof(std::uint16_t) + sizeof(std::uint32_t))) {
        return Fail(WSAEFAULT);
    }
    // On POSIX a restarted server would otherwise be refused its port for a minute while old
    // connections sit in TIME_WAIT; a port held by a live listener still fails.
    const int yes = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = address.port;
    in.sin_addr.s_addr = address.address;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&in), sizeof in) == -1) {
        return FailErrno();
    }
    state->bound = true;
    return 0;
}

// Parenthesised: the C library may define htons as a macro.
std::uint16_t(htons)(std::uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value & 0xff)};
    std::uint16_t network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

int listen(int s, int backlog) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(lib().started ? WSAENOTSOCK : WSANOTINITIALISED);
    }
    // POSIX would quietly listen on a random port; the server must learn that its port failed.
    if (!state->bound) {
        return Fail(WSAEINVAL);
    }
    if (::listen(s, backlog) == -1) {
        return FailErrno();
    }
    state->listening = true;
    return 0;
}

int accept(int s, char* address, int* length) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    if (!state->listening) {
        return Fail(WSAEINVAL);
    }
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int client =
        ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    ArmReader(s);
    if (client == -1) {
        return Fail(ToWinSockError(error));
    }
    if (address != nullptr && length != nullptr && *length >= static_cast<int>(sizeof peer)) {
        std::memcpy(address, &peer, sizeof peer);
        *length = sizeof peer;
    }
    Adopt(client);
    return client;
}

int recv(int s, char* buffer, int length, int flags) {
    if (Find(s) == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    ssize_t n;
    do {
        n = ::recv(s, buffer, static_cast<size_t>(length), flags);
    } while (n == -1 && errno == EINTR);
    const int error = errno;
    if (n != 0) {
        ArmReader(s);  // at end of stream the socket stays readable: do not spin on it
    }
    if (n == -1) {
        return Fail(ToWinSockError(error));
    }
    return static_cast<int>(n);
}

int send(int s, const char* buffer, int length, int flags) {
    if (Find(s) == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    ssize_t n;
    do {
        n = ::send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    } while (n == -1 && errno == EINTR);
    if (n == -1) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            ArmWriter(s);
        }
        return Fail(ToWinSockError(error));
    }
    if (n < length) {
        ArmWriter(s);
    }
    return static_cast<int>(n);
}

int shutdown(int s, int how) {
    if (Find(s) == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    if (::shutdown(s, how == SD_SEND ? SHUT_WR : SHUT_RDWR) == -1) {
        return FailErrno();
    }
    return 0;
}

int closesocket(int s) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(lib().started ? WSAENOTSOCK : WSANOTINITIALISED);
    }
    Drop(state->registration);
    lib().sockets.erase(s);
    if (::close(s) == -1) {
        return FailErrno();
    }
    return 0;
}

int WSAAsyncSelect(int s, QObject* receiver, unsigned message, long events) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    const int flags = ::fcntl(s, F_GETFL);
    if (flags == -1 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == -1) {
        return FailErrno();
    }
    Registration& r = state->registration;
    r.receiver = receiver;
    r.message = message;
    r.events = events;
    const bool wantsReads = (events & (FD_READ | FD_ACCEPT)) != 0;
    const bool wantsWrites = (events & FD_WRITE) != 0;
    if (wantsReads && r.reader == nullptr) {
        r.reader = MakeNotifier(s, QSocketNotifier::Read);
    } else if (!wantsReads) {
        Discard(r.reader);
    }
    if (r.reader != nullptr) {
        r.reader->setEnabled(true);
    }
    if (wantsWrites && r.writer == nullptr) {
        r.writer = MakeNotifier(s, QSocketNotifier::Write);
        r.writer->setEnabled(false);
    } else if (!wantsWrites) {
        Discard(r.writer);
    }
    return 0;
}

int LocalPort(int s) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (Find(s) == nullptr || ::getsockname(s, reinterpret_cast<sockaddr*>(&in), &length) == -1) {
        return -1;
    }
    return ntohs(in.sin_port);
}

}  // namespace platform
