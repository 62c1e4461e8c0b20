#include "platform/socket_events.h"

#include <QCoreApplication>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace platform::detail {
namespace {

// Events taken from the kernel per notifier activation: enough to amortise the call, few enough
// that the window's own events get their turn between batches.
constexpr int kBatch = 128;

std::uint64_t Tag(int s, std::uint32_t serial) {
    return (static_cast<std::uint64_t>(serial) << 32) | static_cast<std::uint32_t>(s);
}

}  // namespace

Library& lib() {
    static Library instance;
    return instance;
}

SocketState* Find(int s) {
    auto it = lib().sockets.find(s);
    return it == lib().sockets.end() ? nullptr : &it->second;
}

// Brings the kernel's interest up to what the receiver is owed. One-shot registrations mean
// an event disarms the socket by itself, so only new interest costs a system call; interest
// withdrawn while armed is left to lapse at its next (dropped) event.
void Sync(int s, SocketState& state) {
    const std::uint32_t wanted = (state.readArmed ? std::uint32_t{EPOLLIN} : 0u) |
                                 (state.writeArmed ? std::uint32_t{EPOLLOUT} : 0u);
    if ((wanted & ~state.kernelMask) == 0 || lib().epoll == -1) {
        return;
    }
    epoll_event event{};
    event.events = wanted | EPOLLONESHOT;
    event.data.u64 = Tag(s, state.serial);
    int op = state.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int result = ::epoll_ctl(lib().epoll, op, s, &event);
    if (result == -1 && errno == (op == EPOLL_CTL_ADD ? EEXIST : ENOENT)) {
        // The kernel's view differs from ours (a handle adopted twice): take its side.
        op = op == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        result = ::epoll_ctl(lib().epoll, op, s, &event);
    }
    if (result == 0) {
        state.inEpoll = true;
        state.kernelMask = wanted;
    }
}

// A handle the system hands out again after a close starts with no registration. The close
// took the old socket out of the epoll set; its serial makes events already taken stale.
void Adopt(int s) {
    SocketState& state = lib().sockets[s];
    state = SocketState{};
    state.serial = ++lib().nextSerial;
}

static void SendSocketEvent(const Registration& r, int s, long bits) {
    bits &= r.events;
    QPointer<QObject> receiver = r.receiver;
    if (bits == 0 || receiver.isNull()) {
        return;
    }
    SocketEvent event(r.message, s, bits);
    QCoreApplication::sendEvent(receiver, &event);
}

// The socket as it was when the event was taken, or null once it was closed (and perhaps its
// number handed out again) by an earlier handler.
static SocketState* Current(int s, std::uint32_t serial) {
    SocketState* state = Find(s);
    return state != nullptr && state->serial == serial ? state : nullptr;
}

// Write first, so that output waiting for room goes out before the next command is read.
// Readiness belongs to the socket: a registration made since the event was taken receives it.
static void Deliver(const epoll_event& event) {
    const int s = static_cast<int>(static_cast<std::uint32_t>(event.data.u64));
    const auto serial = static_cast<std::uint32_t>(event.data.u64 >> 32);
    const bool failed = (event.events & (EPOLLERR | EPOLLHUP)) != 0;
    SocketState* state = Current(s, serial);
    if (state != nullptr && state->writeArmed && (failed || (event.events & EPOLLOUT) != 0)) {
        state->writeArmed = false;
        SendSocketEvent(state->registration, s, FD_WRITE);
        state = Current(s, serial);
    }
    if (state != nullptr && state->readArmed && (failed || (event.events & EPOLLIN) != 0)) {
        state->readArmed = false;
        SendSocketEvent(state->registration, s, state->listening ? FD_ACCEPT : FD_READ);
        state = Current(s, serial);
    }
    if (state != nullptr) {
        Sync(s, *state);  // a direction that did not fire was disarmed with the other
    }
}

static void Dispatch() {
    Library& l = lib();
    if (l.dispatching) {
        // A nested event loop inside a handler: the outer batch is still being delivered, and
        // the rest of it is re-enabled when that is done.
        if (l.notifier != nullptr) {
            l.notifier->setEnabled(false);
        }
        return;
    }
    epoll_event batch[kBatch];
    int n;
    do {
        n = ::epoll_wait(l.epoll, batch, kBatch, 0);
    } while (n == -1 && errno == EINTR);
    // Every socket in the batch is disarmed in the kernel now, before any handler runs and
    // re-arms one of them.
    for (int i = 0; i < n; ++i) {
        const int s = static_cast<int>(static_cast<std::uint32_t>(batch[i].data.u64));
        if (SocketState* state = Current(s, static_cast<std::uint32_t>(batch[i].data.u64 >> 32))) {
            state->kernelMask = 0;
        }
    }
    QSocketNotifier* const notifier = l.notifier;
    l.dispatching = true;
    for (int i = 0; i < n && l.started; ++i) {
        Deliver(batch[i]);
    }
    l.dispatching = false;
    if (l.notifier == notifier && notifier != nullptr && !notifier->isEnabled()) {
        notifier->setEnabled(true);
    }
}

// The notifier needs the event loop's thread, so it is made with the first registration.
void EnsureNotifier() {
    Library& l = lib();
    if (l.notifier == nullptr && l.epoll != -1) {
        l.notifier = new QSocketNotifier(l.epoll, QSocketNotifier::Read);
        QObject::connect(l.notifier, &QSocketNotifier::activated, l.notifier, [] { Dispatch(); });
    }
}

void CloseEpoll() {
    Library& l = lib();
    if (l.notifier != nullptr) {
        l.notifier->setEnabled(false);
        // Inside its own signal it must outlive the handler.
        if (l.dispatching) {
            l.notifier->deleteLater();
        } else {
            delete l.notifier;
        }
        l.notifier = nullptr;
    }
    if (l.epoll != -1) {
        ::close(l.epoll);
        l.epoll = -1;
    }
}

void ArmReader(int s) {
    if (SocketState* state = Find(s);
        state != nullptr && (state->registration.events & (FD_READ | FD_ACCEPT)) != 0) {
        state->readArmed = true;
        Sync(s, *state);
    }
}

void ArmWriter(int s) {
    if (SocketState* state = Find(s);
        state != nullptr && (state->registration.events & FD_WRITE) != 0) {
        state->writeArmed = true;
        Sync(s, *state);
    }
}

}  // namespace platform::detail
