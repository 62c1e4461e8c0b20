// The connection's state machine: every move, legal or not, and the trace entries a user sees.
#include "socket_layer/connection.h"
#include "socket_layer/flow_limits.h"
#include "socket_layer/mod_falquor.h"
#include "support/accepted_socket.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <map>
#include <memory>
#include <vector>

using namespace testing_support;
using State = ConnectionState;

namespace {

// A transport with no socket: nothing arrives, everything queued goes at once.
class QuietTransport final : public Transport {
public:
    QuietTransport() : Transport(-1) {}
    ReadResult ReadInto(LineBuffer&) override { return {}; }
    FlushResult Flush(OutputQueue& output) override {
        while (!output.empty()) {
            output.Consume(output.FrontSpan() ? static_cast<std::size_t>(output.FrontSpan()->length)
                                              : output.Front().size());
        }
        return {};
    }
    FlushStatus ShutDown() override { return FlushStatus::Done; }
    bool HasPending() const override { return false; }
    bool CanSendFile() const override { return true; }
    bool Encrypted() const override { return false; }
};

// Records what a connection asks of its layer; never destroys it, so even a closed one can
// still be asked to move.
class RecordingHost final : public ConnectionHost {
public:
    void TraceEvent(const Connection&, std::string_view what) override {
        entries.emplace_back(what);
    }
    void NotifyReady(Connection&) override { ++ready; }
    void MarkDirty(Connection&) override {}
    void StopCounting(Connection&) override { stopped = true; }
    void Forget(Connection& connection) override {
        ++forgotten;
        reason = connection.closeReason();
    }
    Deadlines& deadlines() override { return deadlines_; }

    std::vector<std::string> entries;
    int ready = 0;
    bool stopped = false;
    int forgotten = 0;
    CloseReason reason = CloseReason::Unknown;  // the last forgotten connection's

private:
    Deadlines deadlines_;
};

// How each state is reached from Open by legal moves.
const std::map<State, std::vector<State>> kPaths = {
    {State::Open, {}},
    {State::PeerClosed, {State::PeerClosed}},
    {State::LineTooLong, {State::LineTooLong}},
    {State::Failed, {State::Failed}},
    {State::Closing, {State::Closing}},
    {State::Lingering, {State::Closing, State::Lingering}},
    {State::Closed, {State::Closed}},
};

struct LegalMove {
    State from;
    State to;
    const char* entry;  // what the trace says of the move, "" nothing
};
// The moves a connection may make; every other is a programming error.
const LegalMove kLegal[] = {
    {State::Open, State::PeerClosed, "input ended: peer closed"},
    {State::Open, State::LineTooLong, "input ended: line too long"},
    {State::Open, State::Failed, ""},
    {State::Open, State::Closing, ""},
    {State::Open, State::Closed, "closed"},
    {State::PeerClosed, State::LineTooLong, "input ended: line too long"},
    {State::PeerClosed, State::Failed, ""},
    {State::PeerClosed, State::Closing, ""},
    {State::PeerClosed, State::Closed, "closed"},
    {State::LineTooLong, State::Failed, ""},
    {State::LineTooLong, State::Closing, ""},
    {State::LineTooLong, State::Closed, "closed"},
    {State::Failed, State::Closed, "closed: connection failed"},
    {State::Closing, State::Failed, ""},
    {State::Closing, State::Lingering, "closed"},
    {State::Closing, State::Closed, "closed"},
    {State::Lingering, State::Closed, ""},
};

const LegalMove* FindLegal(State from, State to) {
    for (const LegalMove& move : kLegal) {
        if (move.from == from && move.to == to) {
            return &move;
        }
    }
    return nullptr;
}

std::vector<std::string> Entries(const char* entry) {
    return *entry == '\0' ? std::vector<std::string>{} : std::vector<std::string>{entry};
}

}  // namespace

TEST(SocketLayerState, EveryMoveIsCheckedAgainstTheTable) {
    int legal = 0;
    for (int f = 0; f < kConnectionStates; ++f) {
        for (int t = 0; t < kConnectionStates; ++t) {
            const auto from = static_cast<State>(f);
            const auto to = static_cast<State>(t);
            SCOPED_TRACE(std::string(StateName(from)) + " to " + StateName(to));
            RecordingHost host;
            Connection connection(host, std::make_unique<QuietTransport>());
            for (const State step : kPaths.at(from)) {
                connection.Enter(step);
            }
            ASSERT_EQ(connection.state(), from);
            host.entries.clear();
            host.ready = 0;
            host.stopped = false;
            const int forgotten = host.forgotten;

            if (const LegalMove* move = FindLegal(from, to)) {
                ++legal;
                connection.Enter(to);
                EXPECT_EQ(connection.state(), to);
                EXPECT_EQ(host.entries, Entries(move->entry));
                // Only a closed connection is forgotten, and only a closing one stops counting.
                EXPECT_EQ(host.forgotten - forgotten, to == State::Closed ? 1 : 0);
                if (to == State::Closing || to == State::Lingering || to == State::Closed) {
                    EXPECT_TRUE(host.stopped);
                } else {
                    EXPECT_FALSE(host.stopped);
                }
                // The owner hears of an end of input; a close it asked for is news to nobody.
                const bool told = to == State::PeerClosed || to == State::LineTooLong ||
                                  (to == State::Failed && from != State::Closing);
                EXPECT_EQ(host.ready, told ? 1 : 0);
                continue;
            }
            EXPECT_DEBUG_DEATH(connection.Enter(to), "");
#ifdef NDEBUG
            // Without asserts: traced, and the connection closed, unless it was already.
            const std::string what =
                std::string("illegal move from ") + StateName(from) + " to " + StateName(to);
            EXPECT_EQ(connection.state(), State::Closed);
            EXPECT_EQ(host.entries,
                      std::vector<std::string>{from == State::Closed ? what : "closed: " + what});
            EXPECT_EQ(host.forgotten - forgotten, from == State::Closed ? 0 : 1);
#endif
        }
    }
    EXPECT_EQ(legal, 17);
}

TEST(SocketLayerState, TheMoveThatBeginsTheCloseDecidesItsReason) {
    using R = CloseReason;
    struct Step {
        State to;
        R why = R::Unknown;  // none given
    };
    const struct {
        std::vector<Step> steps;
        R reason;
    } cases[] = {
        // The owner's close after an ended input is for that end, whatever follows from it.
        {{{State::PeerClosed}, {State::Closing}, {State::Failed, R::Reset}, {State::Closed}},
         R::PeerClosed},
        {{{State::LineTooLong}, {State::Closing}, {State::Lingering}, {State::Closed}},
         R::LineTooLong},
        // The lines before the peer's end were still being served.
        {{{State::PeerClosed}, {State::Closed, R::StalledOutput}}, R::StalledOutput},
        {{{State::PeerClosed}, {State::Failed, R::Reset}, {State::Closed}}, R::Reset},
        {{{State::Closing, R::Idle}, {State::Failed, R::Reset}, {State::Closed}}, R::Idle},
        {{{State::Failed, R::TlsFailure}, {State::Closed}}, R::TlsFailure},
        {{{State::Closed, R::TlsHandshakeTimeout}}, R::TlsHandshakeTimeout},
        {{{State::Closing}, {State::Lingering}, {State::Closed}}, R::Server},
    };
    for (const auto& c : cases) {
        RecordingHost host;
        Connection connection(host, std::make_unique<QuietTransport>());
        for (const Step& step : c.steps) {
            connection.Enter(step.to, {}, step.why);
        }
        EXPECT_EQ(host.forgotten, 1);
        EXPECT_EQ(host.reason, c.reason) << static_cast<int>(c.reason);
    }
}

namespace {

// A socket layer with one accepted connection, told nothing: its trace and its close reason are
// looked at.
struct Served {
    Served() : socket(AcceptedSocket(falquor, listener, client, 0)) {
        falquor.Attach(socket, ConnectionHooks{owner.get(), [] {},
                                               [this](CloseReason why) {
                                                   closed = true;
                                                   closedBy = why;
                                               }});
        EXPECT_TRUE(falquor.Watch(socket));
    }
    ~Served() { platform::WSACleanup(); }
    std::string Event(std::string_view what) const {
        return "[" + std::to_string(socket) + "] >" + std::string(what) + "<\r\n";
    }
    // The connection's own entries, in order.
    std::string Events() {
        const std::string marker = "[" + std::to_string(socket) + "] >";
        const std::string trace = falquor.trace().Contents();
        std::string events;
        for (std::size_t at = trace.find(marker); at != std::string::npos;
             at = trace.find(marker, at + 1)) {
            events += trace.substr(at, trace.find("\r\n", at) + 2 - at);
        }
        return events;
    }

    modFalquor falquor;
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    LoopbackClient client;
    int listener = 0;
    int socket = -1;
    bool closed = false;
    CloseReason closedBy = CloseReason::Unknown;
};

}  // namespace

TEST(SocketLayerState, TheTraceTellsHowEachConnectionEnded) {
    std::string line;
    {
        // The client closes after its request; the reply still goes, then the close.
        Served s;
        s.client.Send("QUIT\r\n");
        ::shutdown(s.client.fd(), SHUT_WR);
        ASSERT_TRUE(PumpUntil([&] {
            s.falquor.ReceiveFromSocket(s.socket, line);
            return s.falquor.InputState(s.socket) == InputEnd::PeerClosed;
        }));
        s.falquor.SendToSocket(s.socket, "+OK bye");
        s.falquor.CloseWhenFlushed(s.socket);
        EXPECT_EQ(s.client.ReadUntil("\r\n"), "+OK bye\r\n");
        ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
        EXPECT_EQ(s.Events(), s.Event("input ended: peer closed") + s.Event("closed"));
        EXPECT_EQ(s.closedBy, CloseReason::PeerClosed);
    }
    {
        Served s;
        s.client.Send(std::string(flow::kMaxLine + 10, 'a'));
        ASSERT_TRUE(PumpUntil([&] {
            s.falquor.ReceiveFromSocket(s.socket, line);
            return s.falquor.InputState(s.socket) == InputEnd::LineTooLong;
        }));
        s.falquor.SendToSocket(s.socket, "-ERR line too long");
        s.falquor.CloseWhenFlushed(s.socket);
        EXPECT_TRUE(s.client.WaitForClose());
        s.client.Close();
        ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
        EXPECT_EQ(s.Events(), s.Event("input ended: line too long") + s.Event("closed"));
        EXPECT_EQ(s.closedBy, CloseReason::LineTooLong);
    }
    {
        // The server ends it: one entry when everything has gone, none for the linger's end.
        Served s;
        s.falquor.SendToSocket(s.socket, "+OK bye");
        s.falquor.CloseWhenFlushed(s.socket);
        EXPECT_TRUE(s.client.WaitForClose());
        s.client.Close();
        ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
        EXPECT_EQ(s.Events(), s.Event("closed"));
        EXPECT_EQ(s.closedBy, CloseReason::Server);
    }
    {
        // A reset: the failure is told once, when the connection is closed.
        Served s;
        s.falquor.SendToSocket(s.socket, "+OK");
        const linger reset{1, 0};
        ::setsockopt(s.client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        s.client.Close();
        ASSERT_TRUE(PumpUntil([&] {
            s.falquor.SendToSocket(s.socket, "+OK more");
            return s.closed;
        }));
        EXPECT_EQ(s.Events(), s.Event("closed: connection failed"));
        EXPECT_EQ(s.closedBy, CloseReason::Reset);
        EXPECT_FALSE(s.falquor.SendToSocket(s.socket, "+OK after"));
    }
}
