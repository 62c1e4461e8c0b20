#include "mail_service/delivery_conversation.h"
#include "mail_service/delivery_replies.h"
#include "support/fake_channel.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

using testing_support::PumpUntil;
using testing_support::TempDir;

namespace {

// A delivery conversation on an in-memory channel over a store in a temporary folder with the
// users alice (a plain folder) and bob (a Maildir).
struct Bench {
    explicit Bench(DeliveryProtocol protocol, DeliveryRules rules = {}) : store(Root(dir)) {
        workers.SetRules(std::move(rules));
        policy.hostName = "mx.test";
        conversation = std::make_unique<DeliveryConversation>(protocol, slot, channel, workers,
                                                              policy, [this] { resumed = true; });
        conversation->Greet();
    }
    static std::string Root(const TempDir& dir) {
        dir.Make("alice");
        dir.Make("bob/cur");
        dir.Make("bob/new");
        return dir.path();
    }

    // Sends `lines` and serves them as the event loop would, through every wait for a worker;
    // returns the replies.
    std::string Run(const std::vector<std::string>& lines) {
        channel.input.insert(channel.input.end(), lines.begin(), lines.end());
        for (int turn = 0; turn < 1000 && !conversation->Ended(); ++turn) {
            resumed = false;
            conversation->Serve();
            if (conversation->Ended() || (channel.input.empty() && !conversation->Waiting())) {
                break;
            }
            if (!PumpUntil([&] { return resumed; })) {
                ADD_FAILURE() << "no turn came";
                break;
            }
        }
        return channel.Take();
    }

    // The messages of `user`, in arrival order.
    std::vector<std::string> Messages(const std::string& user) const {
        std::vector<std::string> names;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(dir.path() + "/" + user)) {
            if (entry.is_regular_file()) {
                names.push_back(entry.path().string());
            }
        }
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return std::filesystem::path(a).filename() < std::filesystem::path(b).filename();
        });
        std::vector<std::string> messages;
        for (const std::string& name : names) {
            std::ifstream in(name, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            messages.push_back(text.str());
        }
        return messages;
    }

    TempDir dir;
    MaildropStore store;
    DeliveryWorkers workers{store};
    DeliveryPolicy policy;
    ConnectionSlot slot;
    FakeChannel channel;
    bool resumed = false;
    std::unique_ptr<DeliveryConversation> conversation;
};

std::string Lines(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) {
        joined += line + "\r\n";
    }
    return joined;
}

}  // namespace

TEST(DeliveryConversation, AnswersCommandsInOrderWithTheirCodes) {
    struct Case {
        DeliveryProtocol protocol;
        std::vector<std::string> input;
        std::vector<std::string> replies;
    };
    const auto L = DeliveryProtocol::Lmtp;
    const auto S = DeliveryProtocol::Smtp;
    const std::string tooLong(DeliveryConversation::kLongestCommand + 1, 'x');
    const Case cases[] = {
        // Nothing before the hello; the other protocol's hello is unknown; hello needs a name.
        {L,
         {"MAIL FROM:<a@b>", "RCPT TO:<alice@x>", "DATA", "HELO x", "EHLO x", "LHLO", "bogus"},
         {"503 5.5.1 Bad sequence of commands", "503 5.5.1 Bad sequence of commands",
          "503 5.5.1 Bad sequence of commands", "500 5.5.2 Command not recognized",
          "500 5.5.2 Command not recognized", "501 5.5.4 Syntax error in parameters or arguments",
          "500 5.5.2 Command not recognized"}},
        {S, {"LHLO x", "HELO client"}, {"500 5.5.2 Command not recognized", "250 mx.test"}},
        // The hello's extensions, then the transaction's order: RCPT needs MAIL, DATA a
        // recipient, MAIL no MAIL before; RSET forgets the transaction.
        {L,
         {"lhlo client", "RCPT TO:<alice@x>", "MAIL FROM:<a@b>", "DATA", "MAIL FROM:<c@d>",
          "RCPT TO:<alice@x>", "RSET", "DATA", "NOOP", "VRFY alice", "VRFY"},
         {"250-mx.test", "250-PIPELINING", "250-ENHANCEDSTATUSCODES", "250-8BITMIME",
          "250 SIZE 1000", "503 5.5.1 Bad sequence of commands", "250 2.1.0 Sender OK",
          "503 5.5.1 No valid recipients", "503 5.5.1 Bad sequence of commands",
          "250 2.1.5 Recipient OK", "250 2.0.0 OK", "503 5.5.1 Bad sequence of commands",
          "250 2.0.0 OK", "252 2.5.0 Cannot verify; try sending",
          "501 5.5.4 Syntax error in parameters or arguments"}},
        // Paths and parameters: SIZE over the limit is refused before any data; unknown and
        // unsafe users, a bad address, an unknown parameter; a quoted local part; the
        // postmaster without a domain is a local user like any other.
        {L,
         {"LHLO c", "MAIL FROM:<a@b> SIZE=1001", "MAIL FROM:<a@b> SIZE=x", "MAIL FROM <a@b>",
          "MAIL FROM:<a@b> FOO=1", "MAIL FROM:<> SIZE=1000 BODY=8BITMIME", "RCPT TO:<nobody@x>",
          "RCPT TO:<../alice@x>", "RCPT TO:<.hidden@x>", "RCPT TO:<@x>", "RCPT TO:<alice@x> X=1",
          "RCPT TO:<\"bob\"@x>", "RCPT TO:<@relay.x,@y:alice@x>", "RCPT TO:<postmaster>", tooLong},
         {"250-mx.test", "250-PIPELINING", "250-ENHANCEDSTATUSCODES", "250-8BITMIME",
          "250 SIZE 1000", "552 5.3.4 Message size exceeds fixed limit",
          "501 5.5.4 Syntax error in parameters or arguments",
          "501 5.5.4 Syntax error in parameters or arguments", "555 5.5.4 Unsupported parameter",
          "250 2.1.0 Sender OK", "550 5.1.1 No such user here", "550 5.1.1 No such user here",
          "550 5.1.1 No such user here", "553 5.1.3 Bad recipient address syntax",
          "555 5.5.4 Unsupported parameter", "250 2.1.5 Recipient OK", "250 2.1.5 Recipient OK",
          "550 5.1.1 No such user here", "500 5.5.6 Line too long"}},
        // SMTP offers AUTH; a recipient outside --domains is relaying; a DATA without one
        // recipient is 554 there.
        {S,
         {"EHLO c", "MAIL FROM:<a@b>", "RCPT TO:<alice@elsewhere.example>", "DATA",
          "RCPT TO:<alice@Mail.Test>", "QUIT", "NOOP"},
         {"250-mx.test", "250-PIPELINING", "250-ENHANCEDSTATUSCODES", "250-8BITMIME",
          "250-SIZE 1000", "250 AUTH PLAIN LOGIN", "250 2.1.0 Sender OK",
          "550 5.7.1 Relaying denied", "554 5.5.1 No valid recipients", "250 2.1.5 Recipient OK",
          "221 2.0.0 Bye"}},
        // AUTH: PLAIN at once and after a prompt, LOGIN in two steps; the password is the user
        // name without a passwords file; only once, and not before EHLO.
        {S,
         {"AUTH PLAIN AGFsaWNlAGFsaWNl", "EHLO c", "AUTH CRAM-MD5", "AUTH PLAIN AGFsaWNlAHdyb25n",
          "AUTH PLAIN", "*", "AUTH LOGIN", "YWxpY2U=", "YWxpY2U=", "AUTH PLAIN AGFsaWNlAGFsaWNl"},
         {"503 5.5.1 Bad sequence of commands", "250-mx.test", "250-PIPELINING",
          "250-ENHANCEDSTATUSCODES", "250-8BITMIME", "250-SIZE 1000", "250 AUTH PLAIN LOGIN",
          "504 5.5.4 Unrecognized authentication type",
          "535 5.7.8 Authentication credentials invalid", "334 ",
          "501 5.0.0 Authentication cancelled", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6",
          "235 2.7.0 Authentication successful", "503 5.5.1 Bad sequence of commands"}},
    };
    for (const Case& c : cases) {
        DeliveryRules rules;
        rules.maxMessageSize = 1000;
        Bench bench(c.protocol, rules);
        bench.policy.domains = {"mail.test"};
        std::vector<std::string> expected = {c.protocol == L ? "220 mx.test LMTP Drennik ready"
                                                             : "220 mx.test ESMTP Drennik ready"};
        expected.insert(expected.end(), c.replies.begin(), c.replies.end());
        EXPECT_EQ(bench.Run(c.input), Lines(expected)) << c.input.front();
        EXPECT_TRUE(bench.Messages("alice").empty());
    }
}

TEST(DeliveryConversation, StoresTheMessageAsSentAndAnswersEachRecipient) {
    DeliveryRules rules;
    rules.maxMessageSize = 100;
    Bench bench(DeliveryProtocol::Lmtp, rules);
    const std::string started = "354 Start mail input; end with <CRLF>.<CRLF>";
    const std::string big(60, 'b');
    const std::string replies = bench.Run(
        {"LHLO c", "MAIL FROM:<a@b>", "RCPT TO:<alice@x>", "RCPT TO:<nobody@x>", "RCPT TO:<bob@x>",
         "RCPT TO:<alice@y>", "DATA",
         // Dot-stuffed lines lose one dot; a bare LF, a lone CR and any byte stay as they came.
         "..x", "...", "a\nbare LF", "a\rlone CR", std::string("\x80\0", 2), ".",
         // Over the size limit: read to its end, refused for each recipient, nothing kept.
         "MAIL FROM:<a@b>", "RCPT TO:<bob@x>", "RCPT TO:<alice@x>", "DATA", big, big, "..", ".",
         // An empty message is refused; the next message on the same connection is stored.
         "MAIL FROM:<a@b>", "RCPT TO:<bob@x>", "DATA", ".", "MAIL FROM:<a@b>", "RCPT TO:<bob@x>",
         "DATA", "second", ".", "QUIT"});
    EXPECT_EQ(replies, Lines({"220 mx.test LMTP Drennik ready",
                              "250-mx.test",
                              "250-PIPELINING",
                              "250-ENHANCEDSTATUSCODES",
                              "250-8BITMIME",
                              "250 SIZE 100",
                              "250 2.1.0 Sender OK",
                              "250 2.1.5 Recipient OK",
                              "550 5.1.1 No such user here",
                              "250 2.1.5 Recipient OK",
                              "250 2.1.5 Recipient OK",
                              started,
                              "250 2.0.0 Delivered",
                              "250 2.0.0 Delivered",
                              "250 2.0.0 Delivered",
                              "250 2.1.0 Sender OK",
                              "250 2.1.5 Recipient OK",
                              "250 2.1.5 Recipient OK",
                              started,
                              "552 5.3.4 Message size exceeds fixed limit",
                              "552 5.3.4 Message size exceeds fixed limit",
                              "250 2.1.0 Sender OK",
                              "250 2.1.5 Recipient OK",
                              started,
                              "554 5.6.0 Empty message",
                              "250 2.1.0 Sender OK",
                              "250 2.1.5 Recipient OK",
                              started,
                              "250 2.0.0 Delivered",
                              "221 2.0.0 Bye"}));
    const std::string message =
        std::string(".x\r\n..\r\na\nbare LF\r\na\rlone CR\r\n\x80\0\r\n", 34);
    EXPECT_EQ(bench.Messages("alice"), std::vector<std::string>{message});
    EXPECT_EQ(bench.Messages("bob"), (std::vector<std::string>{message, "second\r\n"}));
    EXPECT_EQ(bench.slot.totalCount, 2);
    EXPECT_EQ(bench.slot.user, "bob");
    EXPECT_TRUE(bench.channel.closed);
}

TEST(DeliveryConversation, SmtpAnswersOnceAndAConnectionLostMidMessageStoresNothing) {
    Bench bench(DeliveryProtocol::Smtp);
    EXPECT_EQ(bench.Run({"HELO c", "MAIL FROM:<a@b>", "RCPT TO:<alice@x>", "RCPT TO:<bob@x>",
                         "DATA", "one", "."}),
              Lines({"220 mx.test ESMTP Drennik ready", "250 mx.test", "250 2.1.0 Sender OK",
                     "250 2.1.5 Recipient OK", "250 2.1.5 Recipient OK",
                     "354 Start mail input; end with <CRLF>.<CRLF>", "250 2.0.0 Delivered"}));
    bench.Run({"MAIL FROM:<a@b>", "RCPT TO:<alice@x>", "DATA", "half a message"});
    bench.channel.end = InputEnd::PeerClosed;
    bench.Run({});
    EXPECT_TRUE(bench.conversation->Ended());
    bench.conversation.reset();
    // The worker drops its hidden file (listed too) once it learns the message is cut short.
    EXPECT_TRUE(PumpUntil([&] { return bench.Messages("alice").size() == 1; }));
    EXPECT_EQ(bench.Messages("alice"), std::vector<std::string>{"one\r\n"});
    EXPECT_EQ(bench.Messages("bob"), std::vector<std::string>{"one\r\n"});
}
