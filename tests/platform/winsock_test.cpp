#include "platform/winsock.h"
#include "support/loopback.h"

#include <QObject>

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <vector>

using namespace testing_support;

namespace {

class Recorder : public QObject {
public:
    struct Seen {
        unsigned message;
        int socket;
        long events;
    };
    std::vector<Seen> seen;
    std::function<void(const Seen&)> onEvent;

    std::size_t CountFor(int socket) const {
        std::size_t n = 0;
        for (const Seen& s : seen) {
            n += s.socket == socket ? 1 : 0;
        }
        return n;
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != platform::SocketEvent::type()) {
            return QObject::event(e);
        }
        const auto* se = static_cast<platform::SocketEvent*>(e);
        seen.push_back({se->message(), se->socket(), se->events()});
        if (onEvent) {
            onEvent(seen.back());
        }
        return true;
    }
};

// Both ends of a local stream pair; the first is handed to the socket library.
struct AdoptedPair {
    AdoptedPair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
            platform::AdoptSocketForTesting(ends[0]);
        }
    }
    ~AdoptedPair() { ClosePeer(); }
    AdoptedPair(const AdoptedPair&) = delete;
    AdoptedPair& operator=(const AdoptedPair&) = delete;
    int mine() const { return ends[0]; }
    void PeerSends(const char* bytes) const { ::send(ends[1], bytes, std::strlen(bytes), 0); }
    void ClosePeer() {
        if (ends[1] != -1) {
            ::close(ends[1]);
            ends[1] = -1;
        }
    }
    int ends[2] = {-1, -1};
};

// Proof that the event loop took readiness from the system and delivered it: a check that
// something was NOT reported means nothing until a later event has been seen.
class Witness {
public:
    Witness() { platform::WSAAsyncSelect(pair_.mine(), &recorder_, 999, platform::FD_READ); }
    bool Confirm() {
        const std::size_t before = recorder_.seen.size();
        pair_.PeerSends("w");
        const bool seen = PumpUntil([&] { return recorder_.seen.size() > before; });
        char byte;
        platform::recv(pair_.mine(), &byte, 1, 0);
        return seen;
    }

private:
    AdoptedPair pair_;
    Recorder recorder_;
};

int BoundListener(int port = 0) {
    const int s = platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0);
    platform::SocketAddress address;
    address.port = platform::htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(platform::bind(s, address, sizeof address), 0);
    return s;
}

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::WSAStartup(0x0101, &data_), 0); }
    void TearDown() override { platform::WSACleanup(); }
    platform::WSAData data_;
};

}  // namespace

TEST(WinsockStartup, CallsFailBeforeStartupAndWhenTheLibraryIsMissing) {
    EXPECT_EQ(platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSANOTINITIALISED);
    platform::SetStartupFailsForTesting(true);
    platform::WSAData data;
    EXPECT_NE(platform::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0), -1);
    platform::SetStartupFailsForTesting(false);
}

TEST_F(WinsockTest, ListenRefusesASocketThatIsNotBound) {
    const int s = platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(platform::listen(s, 5), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEINVAL);
    EXPECT_EQ(platform::closesocket(s), 0);
    EXPECT_EQ(platform::closesocket(s), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAENOTSOCK);
}

TEST_F(WinsockTest, BindingAHeldPortFailsAndLeavesTheHandleUnbound) {
    const int first = BoundListener();
    ASSERT_EQ(platform::listen(first, platform::MaxBacklog()), 0);
    const int port = platform::LocalPort(first);
    ASSERT_GT(port, 0);

    const int second = platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0);
    platform::SocketAddress address;
    address.port = platform::htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(platform::bind(second, address, sizeof address), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEADDRINUSE);
    EXPECT_EQ(platform::listen(second, 5), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEINVAL);
}

TEST_F(WinsockTest, AcceptAndReadAreReportedOnceUntilReEnabled) {
    Recorder receiver;
    const int listener = BoundListener();
    ASSERT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    ASSERT_EQ(platform::WSAAsyncSelect(listener, &receiver, 520, platform::FD_ACCEPT), 0);
    // Nothing pending: accept fails with would-block and creates nothing.
    EXPECT_EQ(platform::accept(listener, nullptr, nullptr), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);

    LoopbackClient client(platform::LocalPort(listener));
    ASSERT_TRUE(PumpUntil([&] { return !receiver.seen.empty(); }));
    EXPECT_EQ(receiver.seen[0].message, 520u);
    EXPECT_EQ(receiver.seen[0].socket, listener);
    EXPECT_EQ(receiver.seen[0].events, platform::FD_ACCEPT);
    const int s = platform::accept(listener, nullptr, nullptr);
    ASSERT_GE(s, 0);
    // Replies leave at once: no segment waits for the client's delayed ACK.
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(s, SOL_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_EQ(noDelay, 1);

    receiver.seen.clear();
    ASSERT_EQ(platform::WSAAsyncSelect(s, &receiver, 521, platform::FD_READ), 0);
    client.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return !receiver.seen.empty(); }));
    EXPECT_EQ(receiver.seen[0].events, platform::FD_READ);
    // Data is still waiting, but nothing more is reported until the receiver reads.
    Witness witness;
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 1u);
    char buffer[2];
    EXPECT_EQ(platform::recv(s, buffer, 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() == 2; }));
    char rest[8];
    EXPECT_EQ(platform::recv(s, rest, 8, 0), 1);
    EXPECT_EQ(platform::recv(s, rest, 8, 0), -1);
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);

    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() == 3; }));
    EXPECT_EQ(platform::recv(s, rest, 8, 0), 0);
    // At the end of the stream the socket is not reported again and again.
    ASSERT_TRUE(witness.Confirm());
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 3u);
}

TEST_F(WinsockTest, ARefusedSendArmsOneWriteEventAndEveryByteArrives) {
    Recorder receiver;
    Witness witness;
    const int listener = BoundListener();
    ASSERT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    LoopbackClient client(platform::LocalPort(listener), 4096);
    int s = -1;
    ASSERT_TRUE(PumpUntil([&] { return (s = platform::accept(listener, nullptr, nullptr)) >= 0; }));
    ASSERT_EQ(platform::WSAAsyncSelect(s, &receiver, 521, platform::FD_READ | platform::FD_WRITE),
              0);
    // Writable from the start, yet nothing is owed until a send is refused.
    const char hello[] = "hello";
    ASSERT_EQ(platform::send(s, hello, 5, 0), 5);
    ASSERT_TRUE(witness.Confirm());
    EXPECT_TRUE(receiver.seen.empty()) << "a send that was taken whole arms nothing";

    // Numbered blocks, so that a lost, doubled or reordered block shows in the bytes.
    std::string expected = hello;
    std::string block(64 * 1024, 'x');
    for (int i = 0; i < 1000; ++i) {
        std::snprintf(block.data(), 16, "%015d", i);
        const int n = platform::send(s, block.data(), static_cast<int>(block.size()), 0);
        if (n == -1) {
            break;
        }
        expected.append(block, 0, static_cast<std::size_t>(n));
        if (n < static_cast<int>(block.size())) {
            break;  // the next send would be refused
        }
    }
    ASSERT_GT(expected.size(), 5u);
    ASSERT_TRUE(witness.Confirm());
    EXPECT_TRUE(receiver.seen.empty()) << "not writable until the client reads";
    std::string received;
    char buffer[64 * 1024];
    const auto drain = [&] {
        ssize_t n;
        while ((n = ::recv(client.fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    };
    ASSERT_TRUE(PumpUntil([&] {
        drain();
        return !receiver.seen.empty();
    }));
    EXPECT_EQ(receiver.seen[0].events, platform::FD_WRITE);
    ASSERT_TRUE(PumpUntil([&] {
        drain();
        return received.size() >= expected.size();
    }));
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 1u) << "one event per refused send";

    // Every byte arrives once, in order, and nothing else: the client sees the end right after.
    EXPECT_EQ(platform::closesocket(s), 0);
    ASSERT_TRUE(PumpUntil([&] {
        const ssize_t n = ::recv(client.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return n == 0;
    }));
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the bytes differ from what was sent";
}

TEST_F(WinsockTest, CleanupClosesEverySocketStillOpen) {
    const int listener = BoundListener();
    ASSERT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    const int port = platform::LocalPort(listener);
    LoopbackClient client(port);
    int s = -1;
    ASSERT_TRUE(PumpUntil([&] { return (s = platform::accept(listener, nullptr, nullptr)) >= 0; }));
    EXPECT_EQ(platform::WSACleanup(), 0);
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_EQ(platform::send(s, "x", 1, 0), -1);
    // The port is free again at once.
    platform::WSAData data;
    ASSERT_EQ(platform::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(platform::listen(BoundListener(port), 5), 0);
}

TEST_F(WinsockTest, AcceptIsReportedAgainOnlyAfterAnAccept) {
    Recorder receiver;
    Witness witness;
    const int listener = BoundListener();
    ASSERT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    ASSERT_EQ(platform::WSAAsyncSelect(listener, &receiver, 520, platform::FD_ACCEPT), 0);
    LoopbackClient first(platform::LocalPort(listener));
    LoopbackClient second(platform::LocalPort(listener));
    ASSERT_TRUE(PumpUntil([&] { return !receiver.seen.empty(); }));
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 1u) << "two connections wait, but one event until accept";

    ASSERT_GE(platform::accept(listener, nullptr, nullptr), 0);
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() == 2; }));
    EXPECT_EQ(receiver.seen[1].events, platform::FD_ACCEPT);
    ASSERT_GE(platform::accept(listener, nullptr, nullptr), 0);
    // Re-armed by that accept, but nothing is pending any more.
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 2u);

    // A failed accept re-arms too, so the next connection is reported.
    EXPECT_EQ(platform::accept(listener, nullptr, nullptr), -1);
    LoopbackClient third(platform::LocalPort(listener));
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() == 3; }));
}

TEST_F(WinsockTest, ARegistrationReplacesTheLastAndNoEventsStopsThem) {
    Recorder before;
    Recorder after;
    Witness witness;
    AdoptedPair pair;
    ASSERT_EQ(platform::WSAAsyncSelect(pair.mine(), &before, 521, platform::FD_READ), 0);
    ASSERT_EQ(platform::WSAAsyncSelect(pair.mine(), &after, 777, platform::FD_READ), 0);
    pair.PeerSends("x");
    ASSERT_TRUE(PumpUntil([&] { return !after.seen.empty(); }));
    EXPECT_EQ(after.seen[0].message, 777u);
    EXPECT_EQ(after.seen[0].socket, pair.mine());

    // Events 0 while armed: readable again after the recv, but nobody is told.
    char byte;
    ASSERT_EQ(platform::WSAAsyncSelect(pair.mine(), &after, 777, 0), 0);
    EXPECT_EQ(platform::recv(pair.mine(), &byte, 1, 0), 1);
    pair.PeerSends("y");
    ASSERT_TRUE(witness.Confirm());
    EXPECT_TRUE(before.seen.empty());
    EXPECT_EQ(after.seen.size(), 1u);

    // Asking again reports what is already waiting.
    ASSERT_EQ(platform::WSAAsyncSelect(pair.mine(), &after, 778, platform::FD_READ), 0);
    ASSERT_TRUE(PumpUntil([&] { return after.seen.size() == 2; }));
    EXPECT_EQ(after.seen[1].message, 778u);
}

TEST_F(WinsockTest, NoEventReachesAHandleClosedOrHandedOutAgainEarlierInTheSameBatch) {
    Witness witness;
    for (const bool reuse : {false, true}) {
        SCOPED_TRACE(reuse ? "closed and reused" : "closed");
        Recorder receiver;
        AdoptedPair a;
        AdoptedPair b;
        ASSERT_EQ(platform::WSAAsyncSelect(a.mine(), &receiver, 521, platform::FD_READ), 0);
        ASSERT_EQ(platform::WSAAsyncSelect(b.mine(), &receiver, 521, platform::FD_READ), 0);
        // Whichever event comes first closes the other socket; with `reuse` a new socket takes
        // its number at once and registers with the same receiver, owing it nothing yet.
        int closed = -1;
        int replacementPeer = -1;
        receiver.onEvent = [&](const Recorder::Seen& seen) {
            if (closed != -1) {
                return;
            }
            closed = seen.socket == a.mine() ? b.mine() : a.mine();
            EXPECT_EQ(platform::closesocket(closed), 0);
            if (reuse) {
                int fresh[2];
                ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);
                if (fresh[0] != closed) {
                    ::dup2(fresh[0], closed);
                    ::close(fresh[0]);
                }
                replacementPeer = fresh[1];
                platform::AdoptSocketForTesting(closed);
                EXPECT_EQ(platform::WSAAsyncSelect(closed, &receiver, 522, platform::FD_READ), 0);
            }
        };
        // Both readable before the loop runs, so one wait returns both.
        a.PeerSends("1");
        b.PeerSends("2");
        ASSERT_TRUE(PumpUntil([&] { return !receiver.seen.empty(); }));
        ASSERT_TRUE(witness.Confirm());
        ASSERT_NE(closed, -1);
        EXPECT_EQ(receiver.CountFor(closed), 0u) << "an event from the batch reached " << closed;
        EXPECT_EQ(receiver.seen.size(), 1u);
        if (reuse) {
            // The new socket's own registration works.
            ASSERT_EQ(::send(replacementPeer, "3", 1, 0), 1);
            ASSERT_TRUE(PumpUntil([&] { return receiver.CountFor(closed) == 1; }));
            EXPECT_EQ(receiver.seen.back().message, 522u);
            EXPECT_EQ(platform::closesocket(closed), 0);
            ::close(replacementPeer);
        }
        receiver.onEvent = nullptr;
    }
}

TEST_F(WinsockTest, APeerThatHangsUpIsReportedOnceEvenWithAWriteOwed) {
    Recorder receiver;
    Witness witness;
    AdoptedPair pair;
    ASSERT_EQ(platform::WSAAsyncSelect(pair.mine(), &receiver, 521,
                                       platform::FD_READ | platform::FD_WRITE),
              0);
    // Fill the peer's side until a send is refused, so a write is owed too.
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 1000; ++i) {
        if (platform::send(pair.mine(), block.data(), static_cast<int>(block.size()), 0) == -1) {
            break;
        }
    }
    ASSERT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);
    pair.ClosePeer();
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() == 2; }));
    std::set<long> kinds;
    for (const auto& seen : receiver.seen) {
        kinds.insert(seen.events);
    }
    EXPECT_EQ(kinds, (std::set<long>{platform::FD_READ, platform::FD_WRITE}));
    // The peer left its input unread, so this is a reset rather than a plain end of stream.
    char buffer[8];
    const int n = platform::recv(pair.mine(), buffer, sizeof buffer, 0);
    EXPECT_TRUE(n == 0 || (n == -1 && platform::WSAGetLastError() != platform::WSAEWOULDBLOCK));
    EXPECT_EQ(platform::send(pair.mine(), "x", 1, 0), -1);
    EXPECT_NE(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);
    ASSERT_TRUE(witness.Confirm());
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), 2u) << "the hung-up socket keeps being reported";
}

TEST_F(WinsockTest, ManyReadySocketsEachGetOneEventWhileOtherEventsInterleave) {
    // More ready sockets than one notifier activation takes.
    constexpr int kPairs = 300;
    Recorder receiver;
    std::vector<std::unique_ptr<AdoptedPair>> pairs;
    for (int i = 0; i < kPairs; ++i) {
        pairs.push_back(std::make_unique<AdoptedPair>());
        ASSERT_GE(pairs.back()->mine(), 0);
        ASSERT_EQ(platform::WSAAsyncSelect(pairs.back()->mine(), &receiver, 521, platform::FD_READ),
                  0);
        pairs.back()->PeerSends("x");
    }
    // What the first event posts must not wait for every other socket to be served.
    std::size_t deliveredWhenPostedRan = 0;
    bool posted = false;
    bool postedRan = false;
    receiver.onEvent = [&](const Recorder::Seen&) {
        if (!posted) {
            posted = true;
            QMetaObject::invokeMethod(
                &receiver,
                [&] {
                    postedRan = true;
                    deliveredWhenPostedRan = receiver.seen.size();
                },
                Qt::QueuedConnection);
        }
    };
    ASSERT_TRUE(PumpUntil([&] { return receiver.seen.size() >= kPairs && postedRan; }));
    Witness witness;
    ASSERT_TRUE(witness.Confirm());
    EXPECT_EQ(receiver.seen.size(), static_cast<std::size_t>(kPairs));
    std::set<int> sockets;
    for (const auto& seen : receiver.seen) {
        sockets.insert(seen.socket);
    }
    EXPECT_EQ(sockets.size(), static_cast<std::size_t>(kPairs));
    EXPECT_LT(deliveredWhenPostedRan, static_cast<std::size_t>(kPairs))
        << "every ready socket was served before the event loop's own work";
}
