#include "platform/winsock.h"
#include "support/loopback.h"

#include <QObject>

#include <sys/socket.h>

#include <gtest/gtest.h>

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

protected:
    bool event(QEvent* e) override {
        if (e->type() != platform::SocketEvent::type()) {
            return QObject::event(e);
        }
        const auto* se = static_cast<platform::SocketEvent*>(e);
        seen.push_back({se->message(), se->socket(), se->events()});
        return true;
    }
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

    receiver.seen.clear();
    ASSERT_EQ(platform::WSAAsyncSelect(s, &receiver, 521, platform::FD_READ), 0);
    client.Send("abc");
    ASSERT_TRUE(PumpUntil([&] { return !receiver.seen.empty(); }));
    EXPECT_EQ(receiver.seen[0].events, platform::FD_READ);
    // Data is still waiting, but nothing more is reported until the receiver reads.
    PumpFor(100ms);
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
    PumpFor(100ms);
    EXPECT_EQ(receiver.seen.size(), 3u);
}

TEST_F(WinsockTest, ARefusedSendArmsOneWriteEvent) {
    Recorder receiver;
    const int listener = BoundListener();
    ASSERT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    LoopbackClient client(platform::LocalPort(listener), 4096);
    int s = -1;
    ASSERT_TRUE(PumpUntil([&] { return (s = platform::accept(listener, nullptr, nullptr)) >= 0; }));
    ASSERT_EQ(platform::WSAAsyncSelect(s, &receiver, 521, platform::FD_READ | platform::FD_WRITE),
              0);

    const std::string block(64 * 1024, 'x');
    long sent = 0;
    for (int i = 0; i < 1000; ++i) {
        const int n = platform::send(s, block.data(), static_cast<int>(block.size()), 0);
        if (n == -1) {
            break;
        }
        sent += n;
    }
    EXPECT_EQ(platform::WSAGetLastError(), platform::WSAEWOULDBLOCK);
    PumpFor(50ms);
    EXPECT_TRUE(receiver.seen.empty()) << "not writable until the client reads";
    long received = 0;
    char buffer[64 * 1024];
    const bool got = PumpUntil([&] {
        const ssize_t n = ::recv(client.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        received += n > 0 ? n : 0;
        return !receiver.seen.empty();
    });
    ASSERT_TRUE(got);
    EXPECT_EQ(receiver.seen[0].events, platform::FD_WRITE);
    PumpFor(50ms);
    EXPECT_EQ(receiver.seen.size(), 1u) << "one event per refused send";
    EXPECT_LE(received, sent);
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
