#include "socket_layer/mod_falquor.h"
#include "platform/winsock.h"
#include "support/accepted_socket.h"
#include "support/loopback.h"

#include "socket_layer/flow_limits.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// A socket layer with one accepted connection, whose hooks count what they are told. Every
// call the test makes into the layer is made through In(), which also checks that no hook
// runs inside it.
class Link {
public:
    // A small `receiveBuffer` on both ends makes output back up quickly.
    explicit Link(int receiveBuffer = 0)
        : socket(AcceptedSocket(falquor, listener, client, receiveBuffer)) {
        falquor.Attach(socket, ConnectionHooks{owner.get(),
                                               [this] {
                                                   EXPECT_FALSE(inCall) << "a hook re-entered";
                                                   ++ready;
                                               },
                                               [this](CloseReason why) {
                                                   EXPECT_FALSE(inCall) << "a hook re-entered";
                                                   closed = true;
                                                   closedBy = why;
                                               }});
        EXPECT_TRUE(falquor.Watch(socket));
    }
    ~Link() { platform::WSACleanup(); }

    template <typename F>
    auto In(F call) {
        inCall = true;
        auto result = call();
        inCall = false;
        return result;
    }
    bool Receive(std::string& line) {
        return In([&] { return falquor.ReceiveFromSocket(socket, line); });
    }
    bool Send(std::string_view text) {
        return In([&] { return falquor.SendToSocket(socket, text); });
    }
    std::string Trace() { return falquor.trace().Contents(); }
    // Bytes the client sent that the layer has not read from the socket yet.
    int Unread() const {
        int n = 0;
        ::ioctl(socket, FIONREAD, &n);
        return n;
    }

    modFalquor falquor;
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    LoopbackClient client;
    int listener = 0;
    int socket = -1;
    int ready = 0;
    bool closed = false;
    CloseReason closedBy = CloseReason::Unknown;
    bool inCall = false;
};

}  // namespace

TEST(SocketLayer, SocketStartupFailuresLeaveTheLayerUsable) {
    modFalquor falquor;
    platform::SetStartupFailsForTesting(true);
    EXPECT_FALSE(falquor.StartWinSock());
    int s = 0;
    EXPECT_FALSE(falquor.CreateSocket(s, 0));
    EXPECT_EQ(s, -1);
    platform::SetStartupFailsForTesting(false);
    EXPECT_TRUE(falquor.StartWinSock());
    EXPECT_TRUE(falquor.CreateSocket(s, 0));
    EXPECT_TRUE(falquor.CloseSocket(s));
    EXPECT_FALSE(falquor.CloseSocket(s));
    platform::WSACleanup();
}

TEST(SocketLayer, TraceEntriesInTheirFormat) {
    modFalquor falquor;
    falquor.AppendTrace("[5-->]", "  +OK Drennik here  ");
    falquor.AppendTrace("[-->5] \r\n", "USER bob");
    falquor.AppendTrace("[5-->]", "");
    EXPECT_EQ(falquor.trace().Contents(),
              "[5-->] >+OK Drennik here<\r\n[-->5] \r\n >USER bob<\r\n[5-->] ><\r\n");
}

TEST(SocketLayer, ManyLinesAtOnceTraceAndSendAsOneByOne) {
    Link link;
    for (const int count : {0, 1, 3, 200, 5000}) {
        std::string lines;
        link.falquor.trace().Clear();
        for (int i = 0; i < count; ++i) {
            const std::string line = (i % 3 == 0 ? "  " : "") + std::string(i % 61, 'a' + i % 26) +
                                     (i % 5 == 0 ? " " : "");
            link.Send(line);
            lines += line + "\r\n";
        }
        link.Send("END");
        const std::string oneByOne = link.Trace();
        EXPECT_EQ(link.client.ReadUntil("END\r\n"), lines + "END\r\n");

        link.falquor.trace().Clear();
        link.falquor.SendLines(link.socket, lines);
        link.Send("END");
        EXPECT_EQ(link.Trace(), oneByOne) << count << " lines";
        EXPECT_EQ(link.client.ReadUntil("END\r\n"), lines + "END\r\n");
    }
}

TEST(SocketLayer, ReceivesLinesExactlyAndTracesThem) {
    Link link;
    std::string line;
    EXPECT_FALSE(link.Receive(line));
    EXPECT_EQ(link.falquor.InputState(link.socket), InputEnd::None);

    // The owner is told once that lines are ready, after they have arrived.
    link.client.Send("USER a\r\nSTAT\r\n US");
    ASSERT_TRUE(PumpUntil([&] { return link.ready > 0; }));
    EXPECT_EQ(link.ready, 1);
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "USER a");
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "STAT");
    EXPECT_FALSE(link.Receive(line));
    EXPECT_EQ(line, "");
    // Half a line is no reason to tell the owner; blanks at the edges of a read are kept.
    link.client.Send("ER a \r\n\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.ready == 2; }));
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, " USER a ");
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "");
    const std::string n = std::to_string(link.socket);
    EXPECT_NE(link.Trace().find("[-->" + n + "] \r\n >USER a<\r\n[-->" + n + "] \r\n >STAT<\r\n"),
              std::string::npos);
}

TEST(SocketLayer, SendsEveryByteInOrderThroughAFullReceiveWindow) {
    Link link(4096);
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = "line " + std::to_string(i) + std::string(i % 50, '.');
        EXPECT_TRUE(link.Send(text));
        expected += text + "\r\n";
    }
    EXPECT_TRUE(link.In([&] { return link.falquor.SendPart(link.socket, "raw"); }));
    expected += "raw";
    EXPECT_TRUE(link.falquor.Congested(link.socket));
    const std::string got = link.client.ReadUntil("raw", 60s);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.PendingOutput(link.socket) == 0; }));
    EXPECT_FALSE(link.falquor.Congested(link.socket));
    EXPECT_GE(link.ready, 1) << "the owner is told when congested output has drained";
}

TEST(SocketLayer, DoesNotReadWhileOutputIsBackedUp) {
    Link link(4096);
    const std::string big(4 * flow::kHighWater, 'x');
    link.Send(big);
    ASSERT_TRUE(link.falquor.Congested(link.socket));
    link.client.Send("STAT\r\n");
    // Once the line has reached the server's socket, the read events it raises leave it there.
    ASSERT_TRUE(PumpUntil([&] { return link.Unread() == 6; }));
    for (int pass = 0; pass < 20; ++pass) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(link.Unread(), 6);
    std::string line;
    EXPECT_FALSE(link.Receive(line));
    EXPECT_EQ(link.ready, 0);
    ASSERT_EQ(link.client.ReadUntil(std::string(10, 'x') + "\r\n", 60s).size(), big.size() + 2);
    ASSERT_TRUE(PumpUntil([&] { return !link.falquor.Congested(link.socket); }));
    EXPECT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "STAT");
}

TEST(SocketLayer, OverlongLineEndsTheInputAfterTheLinesBeforeIt) {
    Link link;
    link.client.Send("NOOP\r\n" + std::string(flow::kMaxLine + 10, 'a'));
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_EQ(line, "NOOP");
    ASSERT_TRUE(PumpUntil([&] {
        link.Receive(line);
        return link.falquor.InputState(link.socket) == InputEnd::LineTooLong;
    }));
    link.Send("-ERR line too long");
    link.In([&] {
        link.falquor.CloseWhenFlushed(link.socket);
        return 0;
    });
    EXPECT_FALSE(link.Receive(line));
    EXPECT_EQ(link.client.ReadUntil("\r\n"), "-ERR line too long\r\n");
    EXPECT_TRUE(link.client.WaitForClose());
    link.client.Close();
    EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
    EXPECT_EQ(link.falquor.OpenConnections(), 0u);
}

TEST(SocketLayer, ACompleteLineOverTheLimitIsTooLongToo) {
    Link link;
    link.client.Send("NOOP\r\n" + std::string(flow::kMaxLine + 1, 'a') + "\r\nQUIT\r\n");
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_EQ(line, "NOOP");
    ASSERT_TRUE(PumpUntil([&] {
        EXPECT_FALSE(link.Receive(line));
        return link.falquor.InputState(link.socket) == InputEnd::LineTooLong;
    }));
}

TEST(SocketLayer, PeerCloseKeepsBufferedLinesAndClosesAfterTheReplies) {
    Link link;
    link.client.Send("DELE 1\r\nQUIT\r\n");
    ::shutdown(link.client.fd(), SHUT_WR);
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_EQ(line, "DELE 1");
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "QUIT");
    ASSERT_TRUE(PumpUntil([&] {
        link.Receive(line);
        return link.falquor.InputState(link.socket) == InputEnd::PeerClosed;
    }));
    link.Send("+OK ");
    link.In([&] {
        link.falquor.CloseWhenFlushed(link.socket);
        return 0;
    });
    EXPECT_EQ(link.client.ReadUntil("\r\n"), "+OK \r\n");
    EXPECT_TRUE(link.client.WaitForClose());
    EXPECT_TRUE(link.closed);
}

TEST(SocketLayer, IdleAndStalledConnectionsAreClosedButSteadyReadersAreNot) {
    Link link;
    link.falquor.SetIdleTimeout(300ms);
    std::string line;
    link.client.Send("NOOP\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_FALSE(link.closed);
    EXPECT_TRUE(link.client.WaitForClose(10s));
    EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
    EXPECT_NE(link.falquor.trace().Contents().find("[" + std::to_string(link.socket) +
                                                   "] >closing: idle timeout<"),
              std::string::npos);
    EXPECT_EQ(link.closedBy, CloseReason::Idle);

    // A client that reads a long reply slowly but steadily keeps its connection; once it stops
    // reading, the stalled output ends it.
    Link slow(4096);
    slow.falquor.SetIdleTimeout(600ms);
    const std::size_t total = 4 * 1024 * 1024;
    slow.Send(std::string(total, 'x'));
    std::size_t taken = 0;
    char buffer[4096];
    for (int step = 0; step < 30; ++step) {  // 1.5 s of reading a little every 50 ms
        PumpFor(50ms);
        const ssize_t n = ::recv(slow.client.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        taken += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EXPECT_GT(taken, 0u);
    EXPECT_FALSE(slow.closed);
    EXPECT_GT(slow.falquor.PendingOutput(slow.socket), 0u);
    ASSERT_TRUE(PumpUntil([&] { return slow.closed; }));
    EXPECT_NE(slow.falquor.trace().Contents().find("[" + std::to_string(slow.socket) +
                                                   "] >closed: output stalled<"),
              std::string::npos);
    EXPECT_EQ(slow.closedBy, CloseReason::StalledOutput);
}

TEST(SocketLayer, HooksAreQueuedAndDroppedWithTheirContext) {
    // Closing is asked for inside a call and done, and told, from the event loop.
    {
        Link link;
        link.client.Send("QUIT\r\n");
        std::string line;
        ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
        link.client.Close();
        ASSERT_TRUE(PumpUntil([&] {
            link.Receive(line);
            return link.falquor.InputState(link.socket) == InputEnd::PeerClosed;
        }));
        link.In([&] {
            link.falquor.CloseWhenFlushed(link.socket);
            EXPECT_EQ(link.falquor.OpenConnections(), 1u) << "closed by the next pass, not here";
            return 0;
        });
        EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
        EXPECT_EQ(link.falquor.OpenConnections(), 0u);
    }
    // An owner destroyed while its connection lives is never called again.
    {
        Link link;
        link.owner.reset();
        link.client.Send("STAT\r\n");
        // Read by the layer: from here on a ready notice would be on its way.
        ASSERT_TRUE(PumpUntil([&] { return link.Unread() == 0; }));
        for (int pass = 0; pass < 10; ++pass) {
            QCoreApplication::processEvents();
        }
        link.falquor.CloseAll();
        EXPECT_EQ(link.ready, 0);
        EXPECT_FALSE(link.closed);
    }
}

namespace {

bool HasIpv6Loopback() {
    const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_loopback;
    const bool ok = s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
    if (s >= 0) {
        ::close(s);
    }
    return ok;
}

// Whether a client on `family`'s loopback gets through to `port`.
bool Reaches(int family, int port) {
    const int s = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage to{};
    socklen_t length;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<std::uint16_t>(port));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    } else {
        auto* in = reinterpret_cast<sockaddr_in6*>(&to);
        in->sin6_family = AF_INET6;
        in->sin6_port = htons(static_cast<std::uint16_t>(port));
        in->sin6_addr = in6addr_loopback;
        length = sizeof *in;
    }
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&to), length) == 0;
    ::close(s);
    return ok;
}

}  // namespace

TEST(SocketLayer, ListenersTakeBothFamiliesOneWayOrAnotherAndKeepToTheAddressesNamed) {
    if (!HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    const auto v4 = *platform::IpAddress::Parse("127.0.0.1");
    const auto v6 = *platform::IpAddress::Parse("::1");
    struct Case {
        bool forcedV6Only;
        std::vector<platform::IpAddress> addresses;
        std::size_t sockets;
        bool ipv4;
        bool ipv6;
    };
    const Case cases[] = {
        {false, {}, 1, true, true},  // one dual-stack socket
        {true, {}, 2, true, true},   // one per family on the same port
        {false, {v6}, 1, false, true},    {false, {v4}, 1, true, false},
        {false, {v6, v4}, 2, true, true},
    };
    for (const Case& c : cases) {
        platform::SetV6OnlyForcedForTesting(c.forcedV6Only);
        const std::vector<int> sockets = modFalquor::OpenListeners(0, c.addresses);
        platform::SetV6OnlyForcedForTesting(false);
        ASSERT_EQ(sockets.size(), c.sockets) << c.forcedV6Only << " " << c.addresses.size();
        const int port = platform::LocalPort(sockets.front());
        for (const int s : sockets) {
            EXPECT_EQ(platform::LocalPort(s), port) << "one port for all";
        }
        EXPECT_EQ(Reaches(AF_INET, port), c.ipv4) << c.forcedV6Only << " " << c.addresses.size();
        EXPECT_EQ(Reaches(AF_INET6, port), c.ipv6) << c.forcedV6Only << " " << c.addresses.size();
        for (const int s : sockets) {
            platform::closesocket(s);
        }
    }
    platform::WSACleanup();
}
