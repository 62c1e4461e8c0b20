#include "socket_layer/modFalquor.h"
#include "platform/winsock.h"
#include "support/loopback.h"
#include "trace_window/frmFalquorDialog.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

using namespace testing_support;

namespace {

// A socket layer with one accepted connection whose events the test routes like the window.
class Link : public QObject {
public:
    // A small `receiveBuffer` on both ends makes output back up quickly.
    explicit Link(int receiveBuffer = 0) {
        falquor.StartWinSock();
        EXPECT_TRUE(falquor.CreateSocket(listener, 0));
        EXPECT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
        client.Connect(platform::LocalPort(listener), receiveBuffer);
        PumpUntil([&] { return (socket = platform::accept(listener, nullptr, nullptr)) >= 0; });
        if (receiveBuffer > 0) {
            ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        falquor.Attach(socket, ConnectionHooks{[this] { ++drained; }, [this] { closed = true; }});
        platform::WSAAsyncSelect(socket, this, 521, platform::FD_READ | platform::FD_WRITE);
    }
    ~Link() override { platform::WSACleanup(); }

    std::string Trace() { return falquor.TraceWindow().trace().Contents(); }

    modFalquor falquor;
    LoopbackClient client;
    int listener = 0;
    int socket = -1;
    int drained = 0;
    int readEvents = 0;
    bool closed = false;

protected:
    bool event(QEvent* e) override {
        if (e->type() != platform::SocketEvent::type()) {
            return QObject::event(e);
        }
        const auto* se = static_cast<platform::SocketEvent*>(e);
        if (falquor.OnSocketEvent(se->socket(), se->events()) & platform::FD_READ) {
            ++readEvents;
        }
        return true;
    }
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
    int copy = s;
    EXPECT_TRUE(falquor.CloseSocket(copy));
    EXPECT_EQ(copy, s) << "the caller's variable is left as it was";
    EXPECT_FALSE(falquor.CloseSocket(copy));
    platform::WSACleanup();
}

TEST(SocketLayer, TraceEntriesInTheirFormat) {
    modFalquor falquor;
    falquor.AppendTrace("[5-->]", "  +OK Drennik here  ");
    falquor.AppendTrace("[-->5] \r\n", "USER bob");
    falquor.AppendTrace("[5-->]", "");
    EXPECT_EQ(falquor.TraceWindow().trace().Contents(),
              "[5-->] >+OK Drennik here<\r\n[-->5] \r\n >USER bob<\r\n[5-->] ><\r\n");
}

TEST(SocketLayer, ManyLinesAtOnceTraceAndSendAsOneByOne) {
    Link link;
    for (const int count : {0, 1, 3, 200, 5000}) {
        std::string lines;
        link.falquor.TraceWindow().trace().Clear();
        for (int i = 0; i < count; ++i) {
            const std::string line = (i % 3 == 0 ? "  " : "") + std::string(i % 61, 'a' + i % 26) +
                                     (i % 5 == 0 ? " " : "");
            link.falquor.SendToSocket(link.socket, line);
            lines += line + "\r\n";
        }
        link.falquor.SendToSocket(link.socket, "END");
        const std::string oneByOne = link.Trace();
        EXPECT_EQ(link.client.ReadUntil("END\r\n"), lines + "END\r\n");

        link.falquor.TraceWindow().trace().Clear();
        link.falquor.SendLines(link.socket, lines);
        link.falquor.SendToSocket(link.socket, "END");
        EXPECT_EQ(link.Trace(), oneByOne) << count << " lines";
        EXPECT_EQ(link.client.ReadUntil("END\r\n"), lines + "END\r\n");
    }
}

TEST(SocketLayer, ReceivesLinesExactlyAndTracesThem) {
    Link link;
    std::string line;
    EXPECT_FALSE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(link.falquor.InputState(link.socket), InputEnd::Open);

    link.client.Send("USER a\r\nSTAT\r\n US");
    ASSERT_TRUE(PumpUntil([&] { return link.readEvents > 0; }));
    ASSERT_TRUE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(line, "USER a");
    ASSERT_TRUE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(line, "STAT");
    EXPECT_FALSE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(line, "");
    // Blanks at the edges of a read are kept: the pieces join byte for byte.
    link.client.Send("ER a \r\n\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.ReceiveFromSocket(link.socket, line); }));
    EXPECT_EQ(line, " USER a ");
    ASSERT_TRUE(link.falquor.ReceiveFromSocket(link.socket, line));
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
        EXPECT_TRUE(link.falquor.SendToSocket(link.socket, text));
        expected += text + "\r\n";
    }
    EXPECT_TRUE(link.falquor.SendToSocket(link.socket, "raw", 1));
    expected += "raw";
    EXPECT_TRUE(link.falquor.Congested(link.socket));
    const std::string got = link.client.ReadUntil("raw", 60s);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.PendingOutput(link.socket) == 0; }));
    EXPECT_FALSE(link.falquor.Congested(link.socket));
    EXPECT_GE(link.drained, 1);
}

TEST(SocketLayer, DoesNotReadWhileOutputIsBackedUp) {
    Link link(4096);
    const std::string big(4 * modFalquor::kHighWater, 'x');
    link.falquor.SendToSocket(link.socket, big);
    ASSERT_TRUE(link.falquor.Congested(link.socket));
    link.client.Send("STAT\r\n");
    PumpFor(50ms);
    std::string line;
    EXPECT_FALSE(link.falquor.ReceiveFromSocket(link.socket, line));
    ASSERT_EQ(link.client.ReadUntil(std::string(10, 'x') + "\r\n", 60s).size(), big.size() + 2);
    ASSERT_TRUE(PumpUntil([&] { return !link.falquor.Congested(link.socket); }));
    EXPECT_TRUE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(line, "STAT");
}

TEST(SocketLayer, OverlongLineEndsTheInputAfterTheLinesBeforeIt) {
    Link link;
    link.client.Send("NOOP\r\n" + std::string(LineBuffer::kMaxLine + 10, 'a'));
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.ReceiveFromSocket(link.socket, line); }));
    EXPECT_EQ(line, "NOOP");
    ASSERT_TRUE(PumpUntil([&] {
        link.falquor.ReceiveFromSocket(link.socket, line);
        return link.falquor.InputState(link.socket) == InputEnd::LineTooLong;
    }));
    link.falquor.SendToSocket(link.socket, "-ERR line too long");
    link.falquor.CloseWhenFlushed(link.socket);
    EXPECT_FALSE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(link.client.ReadUntil("\r\n"), "-ERR line too long\r\n");
    EXPECT_TRUE(link.client.WaitForClose());
    link.client.Close();
    EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
    EXPECT_EQ(link.falquor.OpenConnections(), 0u);
}

TEST(SocketLayer, ACompleteLineOverTheLimitIsTooLongToo) {
    Link link;
    link.client.Send("NOOP\r\n" + std::string(LineBuffer::kMaxLine + 1, 'a') + "\r\nQUIT\r\n");
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.ReceiveFromSocket(link.socket, line); }));
    EXPECT_EQ(line, "NOOP");
    ASSERT_TRUE(PumpUntil([&] {
        EXPECT_FALSE(link.falquor.ReceiveFromSocket(link.socket, line));
        return link.falquor.InputState(link.socket) == InputEnd::LineTooLong;
    }));
}

TEST(SocketLayer, PeerCloseKeepsBufferedLinesAndClosesAfterTheReplies) {
    Link link;
    link.client.Send("DELE 1\r\nQUIT\r\n");
    ::shutdown(link.client.fd(), SHUT_WR);
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.ReceiveFromSocket(link.socket, line); }));
    EXPECT_EQ(line, "DELE 1");
    ASSERT_TRUE(link.falquor.ReceiveFromSocket(link.socket, line));
    EXPECT_EQ(line, "QUIT");
    ASSERT_TRUE(PumpUntil([&] {
        link.falquor.ReceiveFromSocket(link.socket, line);
        return link.falquor.InputState(link.socket) == InputEnd::PeerClosed;
    }));
    link.falquor.SendToSocket(link.socket, "+OK ");
    link.falquor.CloseWhenFlushed(link.socket);
    EXPECT_EQ(link.client.ReadUntil("\r\n"), "+OK \r\n");
    EXPECT_TRUE(link.client.WaitForClose());
    EXPECT_TRUE(link.closed);
}

TEST(SocketLayer, IdleConnectionsAreClosedButNotWhileOutputIsPending) {
    Link link;
    link.falquor.SetIdleTimeout(300ms);
    std::string line;
    link.client.Send("NOOP\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.falquor.ReceiveFromSocket(link.socket, line); }));
    EXPECT_FALSE(link.closed);
    EXPECT_TRUE(link.client.WaitForClose(10s));
    EXPECT_TRUE(PumpUntil([&] { return link.closed; }));

    // A slow reader of a long reply is not idle.
    Link slow(4096);
    slow.falquor.SetIdleTimeout(300ms);
    slow.falquor.SendToSocket(slow.socket, std::string(4 * 1024 * 1024, 'x'));
    PumpFor(1500ms);
    EXPECT_FALSE(slow.closed);
    EXPECT_GT(slow.falquor.PendingOutput(slow.socket), 0u);
}
