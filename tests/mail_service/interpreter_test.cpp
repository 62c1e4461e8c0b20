#include "mail_service/authenticator.h"
#include "mail_service/conversation.h"
#include "mail_service/message_stream.h"
#include "mail_service/pop3_interpreter.h"
#include "mail_service/sasl.h"
#include "mail_service/unique_id.h"
#include "socket_layer/flow_limits.h"
#include "support/fake_channel.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using testing_support::TempDir;
using namespace std::chrono_literals;

namespace {

const std::string kLoginFailed = "-ERR [AUTH] invalid user name or password\r\n";

// One connection's conversation over an in-memory channel.
struct Session {
    explicit Session(const std::string& root) : store(root) {}

    // Sends one line and returns the reply bytes it drew.
    std::string Say(const std::string& line) {
        channel.input.push_back(line);
        conversation.Serve();
        return channel.Take();
    }

    MaildropStore store;
    ConnectionSlot slot;
    FakeChannel channel;
    int resumes = 0;
    Conversation conversation{slot, channel, store, [this] { ++resumes; }};
};

}  // namespace

TEST(Interpreter, SplitsTheLineAsTheServerAlwaysHas) {
    const Pop3Request a = ParseRequest("   user Bob   ");
    EXPECT_EQ(a.line, "user Bob");
    EXPECT_EQ(a.word, "USER");
    EXPECT_EQ(a.argument, "Bob");
    const Pop3Request b = ParseRequest("USERbob");
    EXPECT_EQ(b.argument, "ob") << "the argument starts at the sixth byte";
    const Pop3Request c = ParseRequest("RETRIEVE 1");
    EXPECT_EQ(c.word, "RETR");
    EXPECT_EQ(c.argument, "EVE 1");
    EXPECT_EQ(ParseRequest("to 1").word, "TO 1") << "only the first four bytes count";
    EXPECT_EQ(ParseRequest("top 1 10").word, "TOP");
    EXPECT_EQ(ParseRequest("").word, "");
    EXPECT_EQ(ParseRequest("\xe9tat").word, "\xe9TAT") << "upper-casing is ASCII only";
}

TEST(Interpreter, LoginStatListDeleAndQuit) {
    TempDir root;
    root.Write("bob/1", std::string(118, 'a') + "\r\n");
    root.Write("bob/2", std::string(198, 'b') + "\r\n");
    Session s(root.path());
    EXPECT_EQ(s.Say("STAT"), "+OK  \r\n") << "no totals before a login";
    EXPECT_EQ(s.Say("LIST"), "+OK  Messages\r\n.\r\n");
    EXPECT_EQ(s.Say("QUIT"), "+OK \r\n");
    EXPECT_EQ(s.Say("DELE 1"), "-ERR no such message\r\n");
    EXPECT_EQ(s.Say("user bob"), "+OK\r\n");
    EXPECT_EQ(s.slot.user, "bob");
    EXPECT_EQ(s.Say("pass Bob"), kLoginFailed) << "case matters";
    EXPECT_EQ(s.slot.state, SessionState::Update) << "left by the QUIT above";
    EXPECT_EQ(s.Say("pass bob"), "+OK\r\n");
    EXPECT_EQ(s.slot.state, SessionState::Transaction);
    EXPECT_EQ(s.Say("STAT"), "+OK 2 320\r\n");
    EXPECT_EQ(s.Say("LIST"), "+OK 2 Messages\r\n1 120\r\n2 200\r\n.\r\n");
    EXPECT_EQ(s.Say("LIST 2"), "+OK 2 200\r\n");
    EXPECT_EQ(s.Say("LIST 3"), "-ERR no such message\r\n");
    EXPECT_EQ(s.Say("DELE 2"), "+OK\r\n");
    EXPECT_EQ(s.Say("DELE 2"), "+OK\r\n");
    EXPECT_EQ(s.slot.marks, (std::vector<char>{' ', 'D'}));
    EXPECT_EQ(s.Say("STAT"), "+OK 2 320\r\n") << "DELE changes no totals";
    EXPECT_EQ(s.Say("DELE 3"), "-ERR no such message\r\n");
    EXPECT_EQ(s.Say("DELE 99999999999999999999"), "-ERR no such message\r\n");
    EXPECT_EQ(s.Say("QUITTING"), "+OK \r\n");
    EXPECT_EQ(s.slot.state, SessionState::Update);
    EXPECT_TRUE(root.Exists("bob/1"));
    EXPECT_FALSE(root.Exists("bob/2"));
    EXPECT_EQ(s.Say("STATUS"), "+OK 2 320\r\n") << "still answered after QUIT";
    EXPECT_FALSE(s.channel.closed) << "the client closes, not the server";
}

TEST(Interpreter, UnsupportedCommandsAndOddLines) {
    TempDir root;
    Session s(root.path());
    EXPECT_EQ(s.Say("noop"), "+OK\r\n");
    EXPECT_EQ(s.Say("TOPS 1 10"), "-ERR TOPS not supported\r\n");
    EXPECT_EQ(s.Say("STLS"), "-ERR STLS not supported\r\n") << "no TLS here";
    EXPECT_EQ(s.Say(""), "-ERR  not supported\r\n");
    EXPECT_EQ(s.Say("   "), "-ERR  not supported\r\n");
    EXPECT_EQ(s.Say("capab"),
              "+OK\r\nTOP\r\nUSER\r\nSASL PLAIN LOGIN\r\nUIDL\r\nPIPELINING\r\n"
              "RESP-CODES\r\nAUTH-RESP-CODE\r\nIMPLEMENTATION Drennik\r\n.\r\n");
    EXPECT_EQ(s.Say("a\rb\nc"), "-ERR A?B? not supported\r\n") << "a reply is one line";
    EXPECT_EQ(s.Say("   USER bob   "), "+OK\r\n");
    EXPECT_EQ(s.slot.user, "bob");
    EXPECT_EQ(s.slot.request, "USER bob");
    EXPECT_EQ(s.Say("USERbob"), "+OK\r\n");
    EXPECT_EQ(s.slot.user, "ob");
}

TEST(Interpreter, AuthPlainAndLoginEveryPath) {
    TempDir root;
    root.Write("bob/1", "x");
    constexpr std::string_view kUser = "+ VXNlcm5hbWU6\r\n";
    constexpr std::string_view kPassword = "+ UGFzc3dvcmQ6\r\n";
    constexpr std::string_view kBad = "-ERR bad authentication response\r\n";
    const std::string longJunk(kLongestSaslResponse + 4, 'A');
    struct Case {
        std::vector<std::string> lines;
        std::string replies;  // of all the lines together
        bool loggedIn;
    };
    const std::string ok = "+OK\r\n";
    // base64: "\0bob\0bob", "bob\0bob\0bob", "alice\0bob\0bob", "\0bob\0wrong", "bob",
    // "wrong", "\0bob" (two parts), "\0bob\0bob\0x" (four parts).
    const Case cases[] = {
        {{"AUTH"}, "+OK\r\nPLAIN\r\nLOGIN\r\n.\r\n", false},
        {{"auth plain AGJvYgBib2I="}, ok, true},
        {{"AUTH PLAIN Ym9iAGJvYgBib2I="}, ok, true},
        {{"AUTH PLAIN", "AGJvYgBib2I="}, "+ \r\n" + ok, true},
        {{"AUTH LOGIN", "Ym9i", "Ym9i"}, std::string(kUser) + std::string(kPassword) + ok, true},
        {{"AUTH LOGIN Ym9i", "Ym9i"}, std::string(kPassword) + ok, true},
        {{"AUTH PLAIN AGJvYgB3cm9uZw=="}, kLoginFailed, false},
        {{"AUTH LOGIN Ym9i", "d3Jvbmc="}, std::string(kPassword) + kLoginFailed, false},
        {{"AUTH PLAIN YWxpY2UAYm9iAGJvYg=="},
         "-ERR [AUTH] the authorization identity must be empty or the user\r\n",
         false},
        {{"AUTH PLAIN", "*", "NOOP"}, "+ \r\n-ERR authentication cancelled\r\n" + ok, false},
        {{"AUTH LOGIN", "Ym9i", "*"},
         std::string(kUser) + std::string(kPassword) + "-ERR authentication cancelled\r\n",
         false},
        {{"AUTH PLAIN", ""}, "+ \r\n" + std::string(kBad), false},
        {{"AUTH PLAIN !!!!"}, std::string(kBad), false},
        {{"AUTH PLAIN AGJvYgBib2I"}, std::string(kBad), false},
        {{"AUTH PLAIN AGJvYg=="}, std::string(kBad), false},
        {{"AUTH PLAIN AGJvYgBib2IAeA=="}, std::string(kBad), false},
        {{"AUTH PLAIN " + longJunk}, std::string(kBad), false},
        {{"AUTH LOGIN", "LIST 1"}, std::string(kUser) + std::string(kBad), false},
        {{"AUTH CRAM-MD5", "NOOP"}, "-ERR unknown authentication mechanism\r\n" + ok, false},
    };
    for (const Case& c : cases) {
        Session s(root.path());
        std::string replies;
        for (const std::string& line : c.lines) {
            replies += s.Say(line);
        }
        EXPECT_EQ(replies, c.replies) << c.lines.front();
        EXPECT_EQ(s.slot.state == SessionState::Transaction, c.loggedIn) << c.lines.front();
        EXPECT_EQ(s.slot.saslStep, SaslStep::None) << c.lines.front();
        if (c.loggedIn) {
            EXPECT_EQ(s.slot.user, "bob");
            EXPECT_EQ(s.Say("STAT"), "+OK 1 3\r\n");
        }
    }
}

TEST(Interpreter, LockedMaildropsHaveOneSessionUntilItEnds) {
    TempDir root;
    root.Write("bob/1", "x");
    const std::string inUse = "-ERR [IN-USE] maildrop in use by another session\r\n";
    MaildropStore store(root.path());
    MaildropLocks locks;
    locks.SetEnabled(true);
    struct Locked {
        ConnectionSlot slot;
        FakeChannel channel;
        std::unique_ptr<Conversation> conversation;
        std::string Say(const std::string& line) {
            channel.input.push_back(line);
            conversation->Serve();
            return channel.Take();
        }
    };
    auto open = [&] {
        auto session = std::make_unique<Locked>();
        session->conversation = std::make_unique<Conversation>(
            session->slot, session->channel, store, [] {}, nullptr, nullptr, &locks);
        return session;
    };
    auto a = open();
    auto b = open();
    EXPECT_EQ(a->Say("AUTH PLAIN AGJvYgBib2I="), "+OK\r\n");
    EXPECT_EQ(a->Say("STAT"), "+OK 1 3\r\n") << "the lock file is no message";
    EXPECT_TRUE(root.Exists("bob/.drennik.lock"));
    b->Say("USER bob");
    EXPECT_EQ(b->Say("PASS bob"), inUse) << "one process holds it";
    EXPECT_EQ(b->slot.state, SessionState::None);
    EXPECT_EQ(a->Say("PASS bob"), "+OK\r\n") << "a session logging in again keeps its hold";
    EXPECT_EQ(a->Say("QUIT"), "+OK \r\n");
    EXPECT_EQ(b->Say("PASS bob"), "+OK\r\n") << "QUIT let it go";
    auto c = open();
    c->Say("USER bob");
    EXPECT_EQ(c->Say("PASS bob"), inUse);
    b.reset();  // the connection is gone, however it went
    EXPECT_EQ(c->Say("PASS bob"), "+OK\r\n");
}

TEST(Interpreter, UidlTopRsetAndTheirEdges) {
    TempDir root;
    root.Write("bob/0001", "Subject: one\r\nX: y\r\n\r\nline 1\r\n.line 2\nline 3\r\n");
    root.Write("bob/=eq", "no blank line, all header\r\nsecond\r\n");
    root.Write("bob/a b", "Subject: blank in the name\r\n\r\nbody\r\n");
    Session s(root.path());
    s.Say("USER bob");
    s.Say("PASS bob");
    // Names are ids where they can be; "=" and a blank make a name hashed.
    const std::string uidl = s.Say("UIDL");
    EXPECT_TRUE(uidl.starts_with("+OK\r\n1 0001\r\n2 =")) << uidl;
    EXPECT_TRUE(uidl.ends_with("\r\n.\r\n"));
    EXPECT_EQ(UniqueId("=eq").size(), 65u);
    EXPECT_NE(UniqueId("=eq"), UniqueId("a b"));
    EXPECT_EQ(UniqueId("a b"), UniqueId("a b")) << "stable";
    EXPECT_EQ(UniqueId(std::string(70, 'x')), std::string(70, 'x'));
    EXPECT_EQ(UniqueId(std::string(71, 'x')).front(), '=');
    EXPECT_EQ(s.Say("UIDL 1"), "+OK 1 0001\r\n");
    EXPECT_EQ(s.Say("UIDL 4"), "-ERR no such message\r\n");
    // TOP: the header, the blank line, then that many body lines, stuffed.
    EXPECT_EQ(s.Say("TOP 1 0"), "+OK \r\nSubject: one\r\nX: y\r\n\r\n.\r\n");
    EXPECT_EQ(s.Say("top 1 2"), "+OK \r\nSubject: one\r\nX: y\r\n\r\nline 1\r\n..line 2\r\n.\r\n");
    EXPECT_EQ(s.Say("TOP 1 99"),
              "+OK \r\nSubject: one\r\nX: y\r\n\r\nline 1\r\n..line 2\r\nline 3\r\n.\r\n");
    EXPECT_EQ(s.Say("TOP 2 0"), "+OK \r\nno blank line, all header\r\nsecond\r\n.\r\n");
    EXPECT_EQ(s.Say("TOP 4 1"), "-ERR no such message\r\n");
    EXPECT_EQ(s.Say("TOP 1"), "-ERR TOP needs a message number and a line count\r\n");
    EXPECT_EQ(s.Say("TOP 1 x"), "-ERR TOP needs a message number and a line count\r\n");
    EXPECT_EQ(s.Say("TOP 1 -1"), "-ERR the line count must not be negative\r\n");
    // RSET clears every mark; the marks are this session's only.
    s.Say("DELE 1");
    s.Say("DELE 3");
    EXPECT_EQ(s.slot.marks, (std::vector<char>{'D', ' ', 'D'}));
    EXPECT_EQ(s.Say("RSET"), "+OK\r\n");
    EXPECT_EQ(s.slot.marks, (std::vector<char>{' ', ' ', ' '}));
    EXPECT_EQ(s.Say("QUIT"), "+OK \r\n");
    EXPECT_TRUE(root.Exists("bob/0001"));
}

TEST(Interpreter, PassRefusesNamesThatAreNoPlainFolder) {
    TempDir root;
    TempDir outside;
    outside.Write("x/canary", "secret");
    Session s(root.path());
    EXPECT_EQ(s.Say("PASS"), kLoginFailed) << "the empty name would list the root itself";
    const std::string relative =
        std::filesystem::relative(outside.path() + "/x", root.path()).string();
    for (const std::string& name :
         {std::string(".."), std::string("../x"), relative, outside.path() + "/x",
          std::string(300, 'a'), std::string("a\0b", 3)}) {
        s.Say("USER " + name);
        EXPECT_EQ(s.Say("PASS " + name), kLoginFailed) << name;
        EXPECT_EQ(s.Say("LIST"), "+OK  Messages\r\n.\r\n");
    }
    EXPECT_TRUE(std::filesystem::exists(outside.path() + "/x/canary"));
}

TEST(Interpreter, RetrAndQuitUseTheOwnerOfTheSnapshot) {
    TempDir root;
    root.Write("alice/1", "alice's mail\r\n");
    root.Write("bob/1", "bob's mail\r\n");
    Session s(root.path());
    s.Say("USER bob");
    s.Say("PASS bob");
    EXPECT_EQ(s.Say("USER alice"), "+OK\r\n");
    EXPECT_EQ(s.slot.user, "alice");
    EXPECT_EQ(s.Say("RETR 1"), "+OK \r\nbob's mail\r\n.\r\n");
    s.Say("DELE 1");
    s.Say("QUIT");
    EXPECT_TRUE(root.Exists("alice/1"));
    EXPECT_FALSE(root.Exists("bob/1"));
    // A later accepted PASS makes its user the owner, with a fresh snapshot.
    EXPECT_EQ(s.Say("PASS alice"), "+OK\r\n");
    EXPECT_EQ(s.slot.marks, (std::vector<char>{' '}));
    EXPECT_EQ(s.Say("RETR 1"), "+OK \r\nalice's mail\r\n.\r\n");
    EXPECT_EQ(s.Say("RETRIEVE 1"), "-ERR no such message\r\n");
}

TEST(Conversation, AnswersPipelinedLinesInOrderAndWaitsForOutput) {
    TempDir root;
    root.Write("bob/1", std::string(300 * 1024, 'm') + "\r\n");
    Session s(root.path());
    s.channel.congestAt = 64 * 1024;
    for (const char* line : {"USER bob", "PASS bob", "RETR 1", "STAT", "QUIT"}) {
        s.channel.input.push_back(line);
    }
    s.conversation.Serve();
    // The RETR reply fills the output: the lines after it wait.
    EXPECT_TRUE(s.conversation.Streaming());
    EXPECT_EQ(s.channel.input.size(), 2u);
    for (int i = 0; i < 100 && s.conversation.Streaming(); ++i) {
        s.channel.Drain();
        s.conversation.Serve();
    }
    EXPECT_TRUE(s.channel.input.empty());
    const std::string out = s.channel.Take();
    const std::string tail = ".\r\n+OK 1 307202\r\n+OK \r\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.size(),
              std::string("+OK\r\n+OK\r\n+OK \r\n").size() + 300 * 1024 + 2 + tail.size());
}

TEST(Conversation, GivesOtherConnectionsATurnDuringLongWork) {
    TempDir root;
    Session s(root.path());
    for (int i = 0; i < flow::kLinesPerTurn + 10; ++i) {
        s.channel.input.push_back("XYZZ");
    }
    s.conversation.Serve();
    EXPECT_EQ(s.resumes, 1);
    EXPECT_EQ(s.channel.input.size(), 10u);
    s.conversation.Serve();
    EXPECT_TRUE(s.channel.input.empty());
}

TEST(Conversation, EndsTheConnectionWhenInputEnds) {
    TempDir root;
    root.Write("bob/1", "x");
    {
        Session s(root.path());
        for (const char* line : {"USER bob", "PASS bob", "DELE 1", "QUIT"}) {
            s.channel.input.push_back(line);
        }
        s.channel.end = InputEnd::PeerClosed;
        s.conversation.Serve();
        EXPECT_EQ(s.channel.Take(), "+OK\r\n+OK\r\n+OK\r\n+OK \r\n");
        EXPECT_TRUE(s.channel.closed);
        EXPECT_FALSE(root.Exists("bob/1")) << "lines sent before the close are carried out";
    }
    {
        Session s(root.path());
        s.channel.input.push_back("XYZZ");
        s.channel.end = InputEnd::LineTooLong;
        s.conversation.Serve();
        s.conversation.Serve();
        EXPECT_EQ(s.channel.Take(), "-ERR XYZZ not supported\r\n-ERR line too long\r\n");
        EXPECT_TRUE(s.channel.closed);
    }
}

namespace {

// A message as RETR has always sent it, made here independently of the stream: a line ends at
// CR LF, a lone CR or a lone LF and goes out with CR LF, and gets a "." in front if it begins
// with one; a last line without a line end still gets one.
std::string Retrieved(std::string_view message) {
    std::string out;
    std::size_t at = 0;
    while (at < message.size()) {
        const std::size_t brk = std::min(message.find_first_of("\r\n", at), message.size());
        const std::string_view line = message.substr(at, brk - at);
        out += line.starts_with('.') ? "." : "";
        out.append(line);
        out += "\r\n";
        const bool crlf = brk + 1 < message.size() && message.substr(brk, 2) == "\r\n";
        at = brk + (crlf ? 2 : 1);
    }
    return out + ".\r\n";
}

// Pumps a message stream to its end as a conversation would, with a drained channel whenever it
// backs up; checks that the stream stops producing once it is congested.
std::string Stream(ReplyStream& stream, FakeChannel& out, std::size_t budget) {
    ReplyStream::Step step = ReplyStream::Step::More;
    for (int i = 0; i < 10000 && step == ReplyStream::Step::More; ++i) {
        out.Drain();
        step = stream.Pump(out, budget);
        // Below the mark when it began, then at most a batch (a larger one for a mapped message,
        // whose bytes stay in the file's pages) and what one block adds to it.
        EXPECT_LE(out.output.size() - out.drained,
                  out.congestAt + std::max(flow::kStreamBatch, flow::kMappedBatch) +
                      2 * flow::kStreamBlock);
    }
    EXPECT_EQ(step, ReplyStream::Step::Done);
    return out.Take();
}

}  // namespace

TEST(Stream, FileSpansLeaveExactlyTheBytesOfCopiedLines) {
    TempDir root;
    std::string big;  // 2 MiB with a few dot lines, and runs longer than the output may back up
    for (int i = 0; big.size() < 2 * 1024 * 1024; ++i) {
        big += (i % 9000 == 4500 ? "." : "") + std::string(60 + i % 37, 'a' + i % 26) + "\r\n";
    }
    // Runs broken where a block ends in CR, by an overlong line, a bare LF and a dot line.
    std::string edges(flow::kStreamBlock - 1, 'x');
    edges += "\r\n" + std::string(200 * 1024, 'y') + "\r\n";
    for (int i = 0; i < 3000; ++i) {
        edges += std::string(static_cast<std::size_t>(i % 97), 'z') + "\r\n";
    }
    edges += std::string(100 * 1024, 'w') + "\n." + std::string(70 * 1024, 'v') + "\r\n" +
             std::string(5000, '-') + "\r\n.\r\n";
    // A run that begins with a line across a block's end, and one still held at the end.
    std::string across(flow::kStreamBlock - 10, 'p');
    across += "\n";
    std::string tail = ".dot\r\n";
    for (int i = 0; i < 2000; ++i) {
        across += std::string(100, 'q') + "\r\n";
        tail += std::string(50, 't') + "\r\n";
    }
    const std::string messages[] = {
        "Subject: hi\r\n\r\nbody\r\n",
        ".\r\n..two\r\n.\r\n",
        "lf\nonly\n",
        "cr\ronly\r",
        "mixed\r\n\n\r\r\n.\r.\n",
        "no final line end",
        "",
        "\r\n\r\n.",
        big,
        big + "no final line end",
        edges,
        across,
        tail,
    };
    for (std::size_t i = 0; i < std::size(messages); ++i) {
        root.Write("bob/" + std::to_string(100 + i), messages[i]);
    }
    const MaildropStore store(root.path());
    ConnectionSlot slot;
    slot.user = "bob";
    ScanMaildrop(slot, store);
    ASSERT_EQ(slot.MessageCount(), static_cast<std::int64_t>(std::size(messages)));
    for (std::size_t i = 0; i < std::size(messages); ++i) {
        const std::string expected = Retrieved(messages[i]);
        // Through a channel that takes spans and one that does not, with whole and tiny turns.
        for (const bool spans : {false, true}) {
            for (const std::size_t budget : {std::size_t{1} << 30, std::size_t{1000}}) {
                FakeChannel out;
                out.spans = spans;
                out.congestAt = flow::kHighWater;
                const auto stream = OpenMessage(slot, i, store);
                ASSERT_TRUE(stream);
                const std::string got = Stream(*stream, out, budget);
                EXPECT_EQ(got.size(), expected.size()) << i << " spans " << spans;
                EXPECT_TRUE(got == expected) << i << " spans " << spans << " budget " << budget;
                std::int64_t spanned = 0;
                for (const std::int64_t length : out.spanLengths) {
                    EXPECT_GE(length, MessageLines::kShortestSpan) << "short spans are copied";
                    spanned += length;
                }
                if (spans && i == 8 && budget > 1000) {
                    EXPECT_GT(spanned, 1900 * 1024) << "the long runs of a big message are spans";
                }
            }
        }
    }
    // TOP copies: it counts lines (here: a message that is all header).
    FakeChannel out;
    out.spans = true;
    out.congestAt = flow::kHighWater;
    const auto top = OpenMessage(slot, 8, store);
    top->LimitBody(0);
    EXPECT_TRUE(Stream(*top, out, std::size_t{1} << 30) == Retrieved(big));
    EXPECT_TRUE(out.spanLengths.empty());
}

TEST(Stream, AFailedSendEndsTheReplyAndTheConnection) {
    TempDir root;
    std::string message;
    for (int i = 0; i < 20 * 1024; ++i) {
        message += std::string(98, 'm') + "\r\n";
    }
    root.Write("bob/1", message);
    root.Write("bob/2", std::string(300 * 1024, 'o'));  // sent in pieces
    for (int i = 0; i < 300; ++i) {
        root.Write("bob/m" + std::to_string(10000 + i), "x");
    }
    // Where each reply's first send fails: in its status line (nothing more is tried), or in
    // a later piece (the stream stops at once, and the connection is closed).
    const struct {
        const char* request;
        std::size_t failAt;
        bool spans;
        bool inStream;
    } cases[] = {
        {"RETR 1", 100 * 1024, false, true},
        {"RETR 1", 100 * 1024, true, true},
        {"RETR 1", 6 + message.size() + 1, true, true},  // the final "." itself
        {"RETR 1", 0, true, false},
        {"RETR 2", 100 * 1024, false, true},
        {"LIST", 1000, false, true},
        {"UIDL", 0, false, false},
        {"CAPA", 3, false, false},
        {"CAPA", 8, false, false},
        {"TOP 1 0", 10, false, true},
    };
    for (const auto& c : cases) {
        Session s(root.path());
        s.Say("USER bob");
        s.Say("PASS bob");
        s.channel.spans = c.spans;
        s.channel.failAt = c.failAt;
        s.channel.input.push_back(c.request);
        for (int i = 0; i < 100 && !s.conversation.Ended() && s.channel.failedSends == 0; ++i) {
            s.conversation.Serve();
        }
        EXPECT_EQ(s.channel.failedSends, 1) << c.request << ": nothing is sent after a failure";
        EXPECT_FALSE(s.conversation.Streaming()) << c.request;
        EXPECT_EQ(s.channel.output.size(), c.failAt) << c.request;
        if (c.inStream) {
            EXPECT_EQ(s.channel.usedAfterFailure, 0) << c.request << ": nothing more is read";
            EXPECT_TRUE(s.conversation.Ended()) << c.request;
            EXPECT_TRUE(s.channel.closed) << c.request << ": a cut reply must not look whole";
        }
    }
}

TEST(Authentication, PasswordFilesAndTheirBadLines) {
    TempDir dir;
    const std::string good = dir.Write(
        "good",
        "# Drennik users\n\nalice:$6$saltsalt$nh..8GgioHdVc.cC090S0QvoPheWAXGp9DYE8r1jCvmVZ"
        "toMAbk/AE6.u3SS0gg7Kem7jzvSoY0rFfJ.3X.Qg0\r\n   # indented comment\n");
    std::string error;
    const auto hashes = Authenticator::ReadPasswordFile(good, error);
    ASSERT_TRUE(hashes) << error;
    EXPECT_EQ(hashes->size(), 1u);
    EXPECT_TRUE(hashes->count("alice"));
    for (const auto& [content, line] : std::vector<std::pair<std::string, int>>{
             {"\n\nnocolon\n", 3},
             {":$6$saltsalt$x\n", 1},
             {"# x\nbob:plaintext\n", 2},
             {"bob:$6$saltsalt$nh..8\nbob:$6$saltsalt$nh..8\n", 2}}) {
        error.clear();
        EXPECT_FALSE(Authenticator::ReadPasswordFile(dir.Write("bad", content), error)) << content;
        EXPECT_NE(error.find("line " + std::to_string(line) + ":"), std::string::npos) << error;
    }
    EXPECT_FALSE(Authenticator::ReadPasswordFile(dir.path() + "/missing", error));
    // A file that names nobody, or no file at all, never turns into "the password is the name".
    EXPECT_FALSE(Authenticator::ReadPasswordFile(dir.Write("empty", "# nobody yet\n\n"), error));
    EXPECT_NE(error.find("no user:hash entry"), std::string::npos) << error;
    EXPECT_FALSE(Authenticator::ReadPasswordFile(dir.path(), error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(Authentication, PassIsCheckedOffTheLoopAndTheSessionWaitsForIt) {
    TempDir root;
    root.Write("alice/1", "x");
    Authenticator auth;
    // alice's password is "s3cret".
    auth.SetPasswords({{"alice",
                        "$6$saltsalt$As4wrv0kZlfch1du9WeH7qhskyLriQWySXrZzynnvi46nFnNxj"
                        "dpl6ksRegrrKexvhIa/Iny8S8uF3fVWTMuC1"}});
    MaildropStore store(root.path());
    ConnectionSlot slot;
    FakeChannel channel;
    std::unique_ptr<Conversation> conversation;
    const auto resume = [&] {
        QMetaObject::invokeMethod(
            &auth, [&] { conversation->Serve(); }, Qt::QueuedConnection);
    };
    conversation = std::make_unique<Conversation>(slot, channel, store, resume, &auth);
    auto say = [&](std::vector<std::string> lines, std::string_view until) {
        for (auto& line : lines) {
            channel.input.push_back(line);
        }
        conversation->Serve();
        EXPECT_TRUE(
            testing_support::PumpUntil([&] { return channel.output.ends_with(until); }, 20s))
            << channel.output;
        return channel.Take();
    };
    // The user name is no password any more; a user the file does not know fails alike; the
    // request after a PASS waits for its answer.
    EXPECT_EQ(say({"USER alice", "PASS alice", "STAT"}, "+OK  \r\n"),
              "+OK\r\n" + kLoginFailed + "+OK  \r\n");
    EXPECT_EQ(say({"USER mallory", "PASS s3cret"}, kLoginFailed), "+OK\r\n" + kLoginFailed);
    EXPECT_EQ(say({"USER alice", "PASS s3cret", "STAT"}, "+OK 1 3\r\n"),
              "+OK\r\n+OK\r\n+OK 1 3\r\n");
    EXPECT_EQ(slot.state, SessionState::Transaction);
    // A password is taken as sent, blanks and all, and is kept nowhere.
    EXPECT_EQ(say({"USER alice", "PASS s3cret "}, kLoginFailed), "+OK\r\n" + kLoginFailed);
    EXPECT_EQ(slot.request, "PASS ****");
    EXPECT_EQ(say({"USER alice", std::string("PASS s3cret\0x", 13)}, kLoginFailed),
              "+OK\r\n" + kLoginFailed)
        << "a NUL must not end the password early";
    // AUTH takes the same check; its responses are masked in the record and the trace.
    EXPECT_EQ(say({"AUTH PLAIN AGFsaWNlAHMzY3JldA==", "STAT"}, "+OK 1 3\r\n"),
              "+OK\r\n+OK 1 3\r\n");
    EXPECT_EQ(say({"AUTH LOGIN", "YWxpY2U=", "czNjcmV0"}, "+OK\r\n"),
              "+ VXNlcm5hbWU6\r\n+ UGFzc3dvcmQ6\r\n+OK\r\n");
    EXPECT_EQ(slot.request, "****");
    EXPECT_EQ(channel.hiddenLines, 2);
    EXPECT_EQ(say({"AUTH PLAIN AGFsaWNlAGFsaWNl"}, kLoginFailed), kLoginFailed);
    EXPECT_EQ(slot.request, "AUTH PLAIN ****");
    std::string shown;
    EXPECT_FALSE(MaskPassword("AUTH PLAIN", shown));
    EXPECT_TRUE(MaskPassword("  auth login YWxpY2U= ", shown));
    EXPECT_EQ(shown, "auth login ****");
    // Where TLS is required, a connection in clear may not even name its user; being refused
    // does not make it too late for STLS.
    auth.SetRequireTls(true);
    channel.tlsAvailable = true;
    slot.authenticationBegun = false;
    const std::string capaInClear =
        "+OK\r\nTOP\r\nUIDL\r\nPIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n"
        "IMPLEMENTATION Drennik\r\nSTLS\r\n.\r\n";
    EXPECT_EQ(say({"CAPA"}, ".\r\n"), capaInClear) << "no login offered before TLS";
    EXPECT_EQ(say({"USER alice", "PASS s3cret", "AUTH PLAIN", "STLS"}, "+OK\r\n"),
              "-ERR TLS required\r\n-ERR TLS required\r\n-ERR TLS required\r\n+OK\r\n");
    EXPECT_EQ(say({"CAPA"}, ".\r\n"),
              "+OK\r\nTOP\r\nUSER\r\nSASL PLAIN LOGIN\r\nUIDL\r\nPIPELINING\r\nRESP-CODES\r\n"
              "AUTH-RESP-CODE\r\nIMPLEMENTATION Drennik\r\n.\r\n");
    EXPECT_EQ(say({"USER alice", "PASS s3cret"}, "+OK\r\n+OK\r\n"), "+OK\r\n+OK\r\n");
}

TEST(Authentication, UnknownUsersCostAsMuchAsTheCostliestKnownUser) {
    const std::string md5 = "$1$saltsalt$6SNdNaZLKst2LlSm7oPPL1";
    const std::string yescrypt =
        "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$U4SOHmDd8SvW5vCUKSMR6N835VPwFAtgYNhQ9mFFeL5";
    Authenticator mixed;
    EXPECT_NE(mixed.SetPasswords({{"a", md5}, {"b", yescrypt}, {"c", md5}}), "");
    EXPECT_EQ(mixed.DecoyHash(), yescrypt);
    Authenticator plain;
    EXPECT_EQ(plain.SetPasswords({{"a", md5}}), "") << "one method: nothing to warn of";
    EXPECT_EQ(plain.DecoyHash(), md5);
}

TEST(Authentication, ChecksAreRationedByAddressAndDroppedOnceTheirConnectionIsGone) {
    Authenticator auth;
    auth.SetPasswords({{"a", "$1$saltsalt$6SNdNaZLKst2LlSm7oPPL1"}});  // "pw"
    std::vector<int> answered;
    auto check = [&](int number, const std::shared_ptr<int>& alive) {
        const auto peer = *IpAddress::Parse("192.0.2." + std::to_string(number));
        return auth.Check("a", "pw", peer, alive, [&answered, number](bool ok, auto) {
            EXPECT_TRUE(ok);
            answered.push_back(number);
        });
    };
    // Ten checks from one address, then one from another: the first runs two at a time, and
    // the other does not wait behind it.
    const auto alive = std::make_shared<int>();
    for (int i = 0; i < 10; ++i) {
        check(1, alive);
    }
    EXPECT_EQ(auth.Running(), Authenticator::kRunningPerAddress);
    check(2, alive);
    EXPECT_EQ(auth.Running(), Authenticator::kRunningPerAddress + 1);
    EXPECT_EQ(auth.Waiting(), 10 - Authenticator::kRunningPerAddress);
    ASSERT_TRUE(testing_support::PumpUntil([&] { return answered.size() == 11; }, 20s));
    // Checks of connections that have gone are dropped unanswered; a full queue refuses.
    answered.clear();
    const std::uint64_t before = auth.Completed();
    auto gone = std::make_shared<int>();
    for (std::size_t i = 0; i < Authenticator::kMostWaiting + 2; ++i) {
        EXPECT_TRUE(check(3, gone));
    }
    EXPECT_FALSE(check(4, alive)) << "the queue is full";
    gone.reset();
    ASSERT_TRUE(
        testing_support::PumpUntil([&] { return auth.Running() + auth.Waiting() == 0; }, 20s));
    EXPECT_TRUE(answered.empty());
    EXPECT_LE(auth.Completed() - before, Authenticator::kRunningPerAddress)
        << "only the checks already running were hashed";
    EXPECT_TRUE(check(4, alive));
}
