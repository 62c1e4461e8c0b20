#include "mail_service/maildrop.h"
#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "support/fake_channel.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using testing_support::TempDir;

namespace {

ConnectionSlot ScannedSlot(const MaildropStore& store, const std::string& user) {
    ConnectionSlot slot;
    slot.user = user;
    ScanMaildrop(slot, store);
    return slot;
}

// What a reply stream sends, to its end.
std::string Drain(ReplyStream& stream) {
    FakeChannel out;
    while (stream.Pump(out, 1 << 20) == ReplyStream::Step::More) {
    }
    return out.output;
}

// The lines of message `number` as sent, or "unavailable".
std::string Retrieve(const ConnectionSlot& slot, std::size_t number, const MaildropStore& store) {
    const std::unique_ptr<MessageStream> stream = OpenMessage(slot, number - 1, store);
    return stream ? Drain(*stream) : "unavailable";
}

}  // namespace

TEST(Maildrop, ScanListsRegularFilesInByteOrderWithSizesAndTotals) {
    TempDir root;
    root.Write("bob/b", std::string(10, 'x'));
    root.Write("bob/a", "");
    root.Write("bob/\xc3\xa9t\xc3\xa9", std::string(200, 'y'));
    root.Write("bob/.hidden", "not a message");
    root.Make("bob/folder");
    ::symlink((root.path() + "/bob/b").c_str(), (root.path() + "/bob/link").c_str());
    ::mkfifo((root.path() + "/bob/fifo").c_str(), 0600);
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    EXPECT_EQ(slot.names, (std::vector<std::string>{"a", "b", "\xc3\xa9t\xc3\xa9"}));
    EXPECT_EQ(slot.sizes, (std::vector<std::int64_t>{0, 10, 200}));
    EXPECT_EQ(slot.marks, (std::vector<char>{' ', ' ', ' '}));
    EXPECT_EQ(slot.identities.size(), 3u);
    EXPECT_EQ(slot.totalCount, "3");
    EXPECT_EQ(slot.totalSize, "210");
    EXPECT_EQ(slot.owner, "bob");

    EXPECT_EQ(Drain(*ListMessages(slot)), "1 0\r\n2 10\r\n3 200\r\n.\r\n");
}

TEST(Maildrop, OneValidatorForEveryMessageNumber) {
    ConnectionSlot slot;
    slot.names = {"a", "b", "c"};
    const struct {
        const char* argument;
        std::optional<std::size_t> entry;
        std::optional<std::size_t> deleEntry;  // one is subtracted before rounding
    } cases[] = {
        {"1", 0, 0},
        {"3", 2, 2},
        {"4", {}, {}},
        {"0", {}, {}},
        {"", {}, {}},
        {"x", {}, {}},
        {"-1", {}, {}},
        {"1 2", {}, {}},
        {"2.5", 1, 2},
        {"1.5", 1, 0},
        {"0.5", {}, 0},
        {"3.5", {}, 2},
        {"+2", 1, 1},
        {" 2 ", 1, 1},
        {"99999999999999999999", {}, {}},
        {"-9223372036854775808", {}, {}},
        {"9223372036854775807", {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MessageEntry(slot, c.argument), c.entry) << c.argument;
        EXPECT_EQ(MessageEntry(slot, c.argument, NumberRule::SubtractOneThenRound), c.deleEntry)
            << c.argument;
    }
}

TEST(Maildrop, MissingEmptyAndLinkedUserFoldersAreEmptyMaildrops) {
    TempDir root;
    TempDir outside;
    outside.Write("secret", "canary");
    root.Make("empty");
    ::symlink(outside.path().c_str(), (root.path() + "/linked").c_str());
    const MaildropStore store(root.path());
    for (const char* user : {"missing", "empty", "linked"}) {
        const ConnectionSlot slot = ScannedSlot(store, user);
        EXPECT_EQ(slot.MessageCount(), 0) << user;
        EXPECT_EQ(slot.totalCount, "0");
        EXPECT_EQ(slot.totalSize, "0");
    }
    EXPECT_EQ(Drain(*ListMessages(ScannedSlot(store, "empty"))), ".\r\n");
}

TEST(Maildrop, ARescanReplacesTheSnapshotAndItsMarks) {
    TempDir root;
    root.Write("bob/1", "one");
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "bob");
    slot.marks[0] = 'D';
    root.Write("bob/2", "two!");
    ScanMaildrop(slot, store);
    EXPECT_EQ(slot.names, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(slot.marks, (std::vector<char>{' ', ' '}));
    EXPECT_EQ(slot.totalSize, "7");
}

TEST(Maildrop, ARememberedListingFollowsEveryChange) {
    TempDir root;
    root.Write("bob/1", "one");
    root.Write("bob/2", "two");
    const MaildropStore store(root.path());
    auto sizes = [&] {
        const ConnectionSlot slot = ScannedSlot(store, "bob");
        std::string listed;
        for (std::size_t i = 0; i < slot.names.size(); ++i) {
            listed += slot.names[i] + "=" + std::to_string(slot.sizes[i]) + " ";
        }
        return listed;
    };
    EXPECT_EQ(sizes(), "1=3 2=3 ");
    EXPECT_EQ(sizes(), "1=3 2=3 ");
    root.Write("bob/3", "three");  // new mail
    EXPECT_EQ(sizes(), "1=3 2=3 3=5 ");
    root.Write("bob/2", "two, rewritten in place");  // same name, other content
    EXPECT_EQ(sizes(), "1=3 2=23 3=5 ");
    std::filesystem::remove(root.path() + "/bob/1");
    EXPECT_EQ(sizes(), "2=23 3=5 ");
    std::filesystem::rename(root.path() + "/bob/3", root.path() + "/bob/0");
    EXPECT_EQ(sizes(), "0=5 2=23 ");
    // The folder itself replaced under the same name.
    std::filesystem::rename(root.path() + "/bob", root.path() + "/old");
    root.Write("bob/9", "nine!!!");
    EXPECT_EQ(sizes(), "9=7 ");
    std::filesystem::rename(root.path() + "/old", root.path() + "/away");
    EXPECT_EQ(sizes(), "9=7 ");
    // The identity kept for QUIT changes with the file too.
    const ConnectionSlot before = ScannedSlot(store, "bob");
    ::chmod((root.path() + "/bob/9").c_str(), 0600);
    const ConnectionSlot after = ScannedSlot(store, "bob");
    EXPECT_FALSE(before.identities[0] == after.identities[0]);
}

TEST(Maildrop, PlainFolderNames) {
    for (const char* good : {"bob", "a.b", "\xe9l\xe9", "x y", "...", ".bob"}) {
        EXPECT_TRUE(IsPlainFolderName(good)) << good;
    }
    const std::string nul("a\0b", 3);
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("../x"),
          std::string("a/../../x"), std::string("/etc"), std::string("a\\b"), std::string("c:x"),
          std::string("*"), std::string("?"), std::string("a\tb"), std::string("\x7f"), nul,
          std::string(256, 'a')}) {
        EXPECT_FALSE(IsPlainFolderName(bad)) << bad;
    }
    EXPECT_TRUE(IsPlainFolderName(std::string(255, 'a')));
}

TEST(Maildrop, RetrieveSendsLinesStuffedAndEnded) {
    TempDir root;
    root.Write("bob/1", "Subject: hi\r\nbody\r\n");
    root.Write("bob/2", ".\r\n..two\r\nlf\nonly\ncr\rend");
    root.Write("bob/3", "");
    root.Write("bob/4", "\r\n\r\n.");
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    EXPECT_EQ(Retrieve(slot, 1, store), "Subject: hi\r\nbody\r\n.\r\n");
    EXPECT_EQ(Retrieve(slot, 2, store), "..\r\n...two\r\nlf\r\nonly\r\ncr\r\nend\r\n.\r\n");
    EXPECT_EQ(Retrieve(slot, 3, store), ".\r\n");
    EXPECT_EQ(Retrieve(slot, 4, store), "\r\n\r\n..\r\n.\r\n");
}

TEST(Maildrop, RetrieveRefusesWhatReplacedAMessageAfterTheScan) {
    TempDir root;
    TempDir outside;
    outside.Write("secret", "canary");
    for (const char* name : {"1", "2", "3", "4"}) {
        root.Write(std::string("bob/") + name, "mail");
    }
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    std::filesystem::remove(root.path() + "/bob/1");
    std::filesystem::remove(root.path() + "/bob/2");
    ::symlink((outside.path() + "/secret").c_str(), (root.path() + "/bob/2").c_str());
    std::filesystem::remove(root.path() + "/bob/3");
    root.Make("bob/3");
    std::filesystem::remove(root.path() + "/bob/4");
    ::mkfifo((root.path() + "/bob/4").c_str(), 0600);
    for (std::size_t n = 1; n <= 4; ++n) {
        EXPECT_EQ(Retrieve(slot, n, store), "unavailable") << n;
    }
}

TEST(Maildrop, RetrieveStreamsLongLinesAndBlockEdgesExactly) {
    TempDir root;
    std::string message;
    std::string expected;
    // Line ends of every kind straddling the stream's block edges, and one overlong line.
    for (int i = 0; i < 3000; ++i) {
        const std::string line =
            (i % 7 == 0 ? "." : "") + std::string(static_cast<size_t>(i % 83), 'a' + i % 26);
        const char* ends[] = {"\r\n", "\n", "\r"};
        message += line + ends[i % 3];
        expected += (line.starts_with('.') ? "." : "") + line + "\r\n";
    }
    const std::string overlong = "." + std::string(200 * 1024, 'z');
    message += overlong;
    expected += "." + overlong + "\r\n.\r\n";
    root.Write("bob/1", message);
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    const std::string got = Retrieve(slot, 1, store);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST(Maildrop, QuitDeletesExactlyTheMarkedFilesThatAreStillTheSame) {
    TempDir root;
    for (const char* name : {"1", "2", "3", "4", "5"}) {
        root.Write(std::string("bob/") + name, name);
    }
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "bob");
    slot.marks = {'D', ' ', 'D', 'D', 'D'};
    // Message 4 was replaced by new mail under the same name; message 5 is gone already.
    std::filesystem::remove(root.path() + "/bob/4");
    root.Write("bob/4", "new mail");
    std::filesystem::remove(root.path() + "/bob/5");
    EXPECT_TRUE(RemoveMarkedMessages(slot, store));
    EXPECT_FALSE(root.Exists("bob/1"));
    EXPECT_TRUE(root.Exists("bob/2"));
    EXPECT_FALSE(root.Exists("bob/3"));
    EXPECT_TRUE(root.Exists("bob/4"));
    // Again over the same marks: nothing more to do, still a success.
    EXPECT_TRUE(RemoveMarkedMessages(slot, store));
}

TEST(Maildrop, QuitReportsFilesThatCouldNotBeDeleted) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may delete from a read-only folder";
    }
    TempDir root;
    root.Write("bob/1", "x");
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "bob");
    slot.marks[0] = 'D';
    ::chmod((root.path() + "/bob").c_str(), 0500);
    const bool removed = RemoveMarkedMessages(slot, store);
    ::chmod((root.path() + "/bob").c_str(), 0700);
    EXPECT_FALSE(removed);
    EXPECT_TRUE(root.Exists("bob/1"));
}
