#include "platform/winsock.h"

#include "platform/socket_events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace platform {

using namespace detail;

namespace {

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

void SetAsyncSelectFailsForTesting(bool fails) {
    lib().failAsyncSelect = fails;
}

void SetV6OnlyForcedForTesting(bool forced) {
    lib().forceV6Only = forced;
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
    // sendfile has no MSG_NOSIGNAL: a write to a connection the peer has reset must come back
    // as an error, not end the program with SIGPIPE.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
    if (lib().epoll == -1) {
        lib().epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (lib().epoll == -1) {
            return WSASYSNOTREADY;
        }
    }
    lib().started = true;
    return 0;
}

int WSACleanup() {
    if (!lib().started) {
        return Fail(WSANOTINITIALISED);
    }
    for (const auto& entry : lib().sockets) {
        ::close(entry.first);
    }
    lib().sockets.clear();
    CloseEpoll();
    lib().started = false;
    return 0;
}

int WSAGetLastError() {
    return lib().lastError;
}

void WSASetLastError(int error) {
    lib().lastError = error;
}

int socket(int family, int type, int protocol) {
    if (!lib().started) {
        return Fail(WSANOTINITIALISED);
    }
    if ((family != AF_INET_ && family != AF_INET6_) || type != SOCK_STREAM_) {
        return Fail(WSAEAFNOSUPPORT);
    }
    const int s =
        ::socket(family == AF_INET_ ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, protocol);
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

int bind(int s, const SocketAddress6& address, int length) {
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(lib().started ? WSAENOTSOCK : WSANOTINITIALISED);
    }
    if (length < static_cast<int>(sizeof address)) {
        return Fail(WSAEFAULT);
    }
    const int yes = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    in.sin6_port = address.port;
    in.sin6_flowinfo = address.flowInfo;
    std::memcpy(&in.sin6_addr, address.address, sizeof address.address);
    in.sin6_scope_id = address.scopeId;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&in), sizeof in) == -1) {
        return FailErrno();
    }
    state->bound = true;
    return 0;
}

int SetV6Only(int s, bool only) {
    if (Find(s) == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    if (!only && lib().forceV6Only) {
        return Fail(WSAEINVAL);
    }
    const int value = only ? 1 : 0;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == -1) {
        return FailErrno();
    }
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
    sockaddr_in6 peer{};  // big enough for either family
    socklen_t peerLength = sizeof peer;
    const int client =
        ::accept4(s, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    ArmReader(s);
    if (client == -1) {
        return Fail(ToWinSockError(error));
    }
    const auto filled = std::min<socklen_t>(peerLength, sizeof peer);
    if (address != nullptr && length != nullptr && *length >= static_cast<int>(filled)) {
        std::memcpy(address, &peer, filled);
        *length = static_cast<int>(filled);
    }
    // Output is already gathered into one write per event-loop pass; Nagle's algorithm would
    // only hold back the last partial segment of a long reply until the client's delayed ACK.
    const int noDelay = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    Adopt(client);
    Find(client)->nonBlocking = true;
    return client;
}

IpAddress PeerIp(const char* address, int length) {
    sa_family_t family = 0;
    if (address == nullptr || length < static_cast<int>(sizeof family)) {
        return {};
    }
    std::memcpy(&family, address, sizeof family);
    if (family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in peer{};
        std::memcpy(&peer, address, sizeof peer);
        return IpAddress::FromIpv4(peer.sin_addr.s_addr);
    }
    if (family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        sockaddr_in6 peer{};
        std::memcpy(&peer, address, sizeof peer);
        return IpAddress::FromIpv6(peer.sin6_addr.s6_addr);
    }
    return {};
}

int PeerPort(const char* address, int length) {
    sa_family_t family = 0;
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) {
        return 0;
    }
    std::memcpy(&family, address, sizeof family);
    sockaddr_in peer{};  // the port sits in the same place for both families
    std::memcpy(&peer, address, sizeof peer);
    return family == AF_INET || family == AF_INET6 ? ntohs(peer.sin_port) : 0;
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
    // At the end of the stream, or after a reset, the socket stays readable for good: arming
    // it again would only report the same thing over and over.
    if (n > 0 || (n == -1 && (error == EAGAIN || error == EWOULDBLOCK))) {
        ArmReader(s);
    }
    if (n == -1) {
        return Fail(ToWinSockError(error));
    }
    return static_cast<int>(n);
}

namespace {

// One write towards a socket: retried when a signal cuts it short, and the socket's writer
// armed again when it took less than offered, so the rest goes when it can.
template <typename Write>
int WriteSome(int s, int length, Write write) {
    if (Find(s) == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    ssize_t n;
    do {
        n = write();
    } while (n == -1 && errno == EINTR);
    if (n == -1) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            ArmWriter(s);
        }
        return Fail(ToWinSockError(error));
    }
    // 0 from sendfile is a file that ended early: nothing to wait for.
    if (n > 0 && n < length) {
        ArmWriter(s);
    }
    return static_cast<int>(n);
}

}  // namespace

int send(int s, const char* buffer, int length, int flags) {
    return WriteSome(s, length, [&] {
        return ::send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    });
}

int SendFile(int s, int fd, std::int64_t offset, int count) {
    off_t at = static_cast<off_t>(offset);
    return WriteSome(s, count, [&] { return ::sendfile(s, fd, &at, static_cast<size_t>(count)); });
}

int SendGathered(int s, std::span<const std::string_view> pieces) {
    constexpr std::size_t kMostPieces = 256;
    iovec vectors[kMostPieces];
    std::size_t count = 0;
    std::size_t length = 0;
    for (const std::string_view piece : pieces.first(std::min(pieces.size(), kMostPieces))) {
        // The kernel only reads them.
        vectors[count++] = iovec{const_cast<char*>(piece.data()), piece.size()};
        length += piece.size();
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    return WriteSome(s, static_cast<int>(std::min<std::size_t>(length, INT_MAX)),
                     [&] { return ::sendmsg(s, &message, MSG_NOSIGNAL); });
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
    // The close takes the socket out of the epoll set, so no EPOLL_CTL_DEL is spent on it.
    lib().sockets.erase(s);
    if (::close(s) == -1) {
        return FailErrno();
    }
    return 0;
}

int WSAAsyncSelect(int s, QObject* receiver, unsigned message, long events) {
    if (lib().failAsyncSelect && events != 0) {
        return Fail(WSAEINVAL);
    }
    SocketState* state = Find(s);
    if (state == nullptr) {
        return Fail(WSAENOTSOCK);
    }
    if (!state->nonBlocking) {
        const int flags = ::fcntl(s, F_GETFL);
        if (flags == -1 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == -1) {
            return FailErrno();
        }
        state->nonBlocking = true;
    }
    Registration& r = state->registration;
    r.receiver = receiver;
    r.message = message;
    r.events = events;
    // Reads are owed at once; a write stays owed across a new registration that still wants it.
    state->readArmed = (events & (FD_READ | FD_ACCEPT)) != 0;
    state->writeArmed = state->writeArmed && (events & FD_WRITE) != 0;
    if (events != 0) {
        EnsureNotifier();
    }
    Sync(s, *state);
    return 0;
}

int LocalPort(int s) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (Find(s) == nullptr ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == -1) {
        return -1;
    }
    return PeerPort(reinterpret_cast<const char*>(&local), static_cast<int>(length));
}

IpAddress LocalAddress(int s) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (Find(s) == nullptr ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == -1) {
        return {};
    }
    return PeerIp(reinterpret_cast<const char*>(&local), static_cast<int>(length));
}

}  // namespace platform
