#pragma once
// Inside the socket library: the sockets it knows, and the dispatch of their epoll events to
// the receivers registered for them, through one notifier on the event loop. For the socket
// library's own files (winsock.cpp, local_socket.cpp); nothing outside the platform layer
// includes it.

#include "platform/winsock.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cstdint>
#include <unordered_map>

namespace platform::detail {

struct Registration {
    QPointer<QObject> receiver;
    unsigned message = 0;
    long events = 0;
};

struct SocketState {
    bool bound = false;
    bool listening = false;
    bool nonBlocking = false;  // accepted sockets are born so: no fcntl calls for them
    // Tells this handle's epoll events from those of an earlier socket with the same number.
    std::uint32_t serial = 0;
    Registration registration;
    // What the receiver is owed: FD_READ/FD_ACCEPT and FD_WRITE are each reported once, then
    // again only after the call that re-enables them.
    bool readArmed = false;
    bool writeArmed = false;
    // Interest the kernel holds for this socket. Registrations are one-shot, so an event the
    // kernel reports disarms the socket; set to 0 when an event is taken.
    std::uint32_t kernelMask = 0;
    bool inEpoll = false;
};

struct Library {
    bool started = false;
    bool failStartup = false;
    bool failAsyncSelect = false;
    bool forceV6Only = false;
    int lastError = 0;
    std::uint32_t nextSerial = 0;
    std::unordered_map<int, SocketState> sockets;
    int epoll = -1;
    // The one notifier the event loop watches, on the epoll descriptor.
    QSocketNotifier* notifier = nullptr;
    bool dispatching = false;
};

Library& lib();
SocketState* Find(int s);
// A handle the system hands out again after a close starts with no registration.
void Adopt(int s);
// Brings the kernel's interest up to what the receiver is owed.
void Sync(int s, SocketState& state);
// FD_READ/FD_ACCEPT, or FD_WRITE, is owed again (if registered for).
void ArmReader(int s);
void ArmWriter(int s);
// The notifier needs the event loop's thread, so it is made with the first registration.
void EnsureNotifier();
void CloseEpoll();

}  // namespace platform::detail
