#pragma once
// The socket calls the server is written against, in the shape of the classic Windows socket
// library (handles are ints, results are -1 on failure and the reason comes from
// WSAGetLastError as a WinSock number), provided here over POSIX sockets. Readiness is
// delivered as SocketEvent through the Qt event loop, like window messages of WSAAsyncSelect.

#include "platform/ip_address.h"

#include <QEvent>
#include <cstdint>
#include <span>
#include <string_view>

class QObject;

namespace platform {

inline constexpr int kSocketError = -1;
inline constexpr int kInvalidSocket = -1;

inline constexpr int AF_INET_ = 2;
inline constexpr int AF_INET6_ = 23;
inline constexpr int SOCK_STREAM_ = 1;

// Event bits of WSAAsyncSelect.
inline constexpr long FD_READ = 1;
inline constexpr long FD_WRITE = 2;
inline constexpr long FD_ACCEPT = 8;

// recv() flags.
inline constexpr int MSG_PEEK_ = 2;

// shutdown() directions.
inline constexpr int SD_SEND = 1;

// WinSock error numbers reported by WSAGetLastError.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSANOTINITIALISED = 10093;

// The largest listen backlog the system allows.
int MaxBacklog();

struct WSAData {
    std::uint16_t version = 0;
    std::uint16_t highVersion = 0;
    char description[257] = {};
    char systemStatus[129] = {};
    std::uint16_t maxSockets = 0;
    std::uint16_t maxDatagram = 0;
    char vendorInfo[200] = {};
};

// An IPv4 address as handed to bind: family, port in network order, address (0 = any).
struct SocketAddress {
    std::int16_t family = AF_INET_;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
    char zero[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
};

// An IPv6 address as handed to bind: family, port in network order, flow, address, scope.
struct SocketAddress6 {
    std::int16_t family = AF_INET6_;
    std::uint16_t port = 0;
    std::uint32_t flowInfo = 0;
    unsigned char address[16] = {};
    std::uint32_t scopeId = 0;
};

int WSAStartup(std::uint16_t version, WSAData* data);
// Ends the use of the library: every socket still open is closed and every registration dropped.
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

int socket(int family, int type, int protocol);
int bind(int s, const SocketAddress& address, int length);
int bind(int s, const SocketAddress6& address, int length);
// IPV6_V6ONLY on an IPv6 socket: off, it takes IPv4 connections too (as IPv4-mapped
// addresses). 0, or -1 where the system refuses.
int SetV6Only(int s, bool only);
std::uint16_t htons(std::uint16_t value);
// Fails with WSAEINVAL on a socket that was never bound successfully.
int listen(int s, int backlog);
// Returns a non-blocking handle, or -1; re-enables FD_ACCEPT notification.
int accept(int s, char* address, int* length);
// The address of the peer address `accept` filled in (IPv4 or IPv6); 0.0.0.0 for anything
// else. `address` must hold at least 28 bytes for an IPv6 peer.
IpAddress PeerIp(const char* address, int length);
// The port of that address; 0 for anything that is not an IP address.
int PeerPort(const char* address, int length);
// Byte count, 0 at end of stream, or -1; re-enables FD_READ notification unless the stream
// ended or failed (anything but would-block), as nothing more can come.
int recv(int s, char* buffer, int length, int flags);
// Byte count or -1; a refusal for lack of buffer space arms one FD_WRITE notification.
int send(int s, const char* buffer, int length, int flags);
// Sends up to `count` bytes of the open file `fd` from `offset` without copying them through
// the program (sendfile): like send, a byte count or -1, and a refusal for lack of buffer space
// arms one FD_WRITE notification. 0 when the file holds no byte at `offset` (it has shrunk).
int SendFile(int s, int fd, std::int64_t offset, int count);
// Sends the pieces one after the other in one call (sendmsg): like send, a byte count or -1;
// -1 with WSAEFAULT when a piece could not be read (a mapped file that has shrunk).
int SendGathered(int s, std::span<const std::string_view> pieces);
int shutdown(int s, int how);
int closesocket(int s);

// Asks for `events` on socket `s` to be delivered to `receiver` as SocketEvent carrying
// `message`. One registration per socket: a new one replaces the previous; events 0 stops
// them. The socket becomes non-blocking. Returns 0, or -1 for a socket that is not open.
// Like the window messages it stands for, FD_READ and FD_ACCEPT are reported once and then
// again only after the next recv or accept on the socket, and FD_WRITE only after a send
// was refused for lack of buffer space; so a receiver that stops reading is not woken.
int WSAAsyncSelect(int s, QObject* receiver, unsigned message, long events);

// The local port a socket is bound to, or -1.
int LocalPort(int s);
// The local address a socket is bound to (0.0.0.0 when unknown).
IpAddress LocalAddress(int s);

// Test seam: takes on a connected stream socket made elsewhere (one end of a socketpair), so
// the layers above can be driven without a network.
void AdoptSocketForTesting(int s);

// Test seam: makes the next WSAStartup calls fail as if the library were missing.
void SetStartupFailsForTesting(bool fails);

// Test seam: makes SetV6Only refuse to turn IPV6_V6ONLY off, as a system that keeps IPv6
// sockets IPv6-only would.
void SetV6OnlyForcedForTesting(bool forced);

// Test seam: makes WSAAsyncSelect refuse every registration but a stop (events 0).
void SetAsyncSelectFailsForTesting(bool fails);

class SocketEvent : public QEvent {
public:
    SocketEvent(unsigned message, int socket, long events);
    static QEvent::Type type();

    unsigned message() const { return message_; }
    int socket() const { return socket_; }
    long events() const { return events_; }

private:
    unsigned message_;
    int socket_;
    long events_;
};

}  // namespace platform
