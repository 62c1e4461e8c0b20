#include "mail_service/maildrop.h"
#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/size_counting.h"
#include "platform/wire_size.h"
#include "support/fake_channel.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>

using testing_support::BytesReadSoFar;
using testing_support::TempDir;

namespace {

ConnectionSlot ScannedSlot(const MaildropStore& store, const std::string& user) {
    ConnectionSlot slot;
    slot.user = user;
    ScanMaildrop(slot, store);
    return slot;
}

std::vector<std::string> Names(const ConnectionSlot& slot) {
    std::vector<std::string> names;
    for (std::int64_t i = 0; i < slot.MessageCount(); ++i) {
        names.push_back(slot.Message(static_cast<std::size_t>(i)).name);
    }
    return names;
}

std::vector<std::int64_t> Sizes(const ConnectionSlot& slot) {
    std::vector<std::int64_t> sizes;
    for (std::int64_t i = 0; i < slot.MessageCount(); ++i) {
        sizes.push_back(slot.Message(static_cast<std::size_t>(i)).size);
    }
    return sizes;
}

// What a reply stream sends, to its end, on a channel that takes file spans or not.
std::string Drain(ReplyStream& stream, FakeChannel&& out = FakeChannel()) {
    while (stream.Pump(out, 1 << 20) == ReplyStream::Step::More) {
    }
    return out.output;
}

// The lines of message `number` as sent, or "unavailable".
std::string Retrieve(const ConnectionSlot& slot, std::size_t number, const MaildropStore& store,
                     FakeChannel&& out = FakeChannel()) {
    const std::unique_ptr<MessageStream> stream = OpenMessage(slot, number - 1, store);
    return stream ? Drain(*stream, std::move(out)) : "unavailable";
}

FakeChannel SpanningChannel() {
    FakeChannel out;
    out.spans = true;
    return out;
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
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"a", "b", "\xc3\xa9t\xc3\xa9"}));
    // Sizes as sent: a last line without its end gets CR LF.
    EXPECT_EQ(Sizes(slot), (std::vector<std::int64_t>{0, 12, 202}));
    EXPECT_EQ(slot.marks, (std::vector<char>{' ', ' ', ' '}));
    EXPECT_EQ(slot.totalCount, 3);
    EXPECT_EQ(slot.totalSize, 214);
    EXPECT_EQ(slot.owner, "bob");

    EXPECT_EQ(Drain(*ListMessages(slot)), "1 0\r\n2 12\r\n3 202\r\n.\r\n");
}

TEST(Maildrop, TheTotalSizeStopsAtTheLargestValue) {
    platform::FolderListing listing;
    listing.entries.resize(2);
    listing.entries[0].size = 5'000'000'000'000'000'000;
    listing.entries[1].size = 5'000'000'000'000'000'000;
    EXPECT_EQ(TotalSize(listing), std::numeric_limits<std::int64_t>::max());
    listing.entries[1].size = 7;
    EXPECT_EQ(TotalSize(listing), 5'000'000'000'000'000'007);
}

TEST(Maildrop, OneValidatorForEveryMessageNumber) {
    ConnectionSlot slot;
    auto listing = std::make_shared<platform::FolderListing>();
    listing->entries.resize(3);
    slot.listing = listing;
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
        EXPECT_EQ(slot.totalCount, 0);
        EXPECT_EQ(slot.totalSize, 0);
    }
    EXPECT_EQ(Drain(*ListMessages(ScannedSlot(store, "empty"))), ".\r\n");
}

TEST(Maildrop, ARootReplacedWhileServingIsNotFollowed) {
    TempDir base;
    base.Write("root/bob/1", "first");
    base.Write("root/bob/2", "second");
    base.Write("other/bob/1", "other one");
    base.Write("other/bob/2", "other two");
    base.Write("other/bob/3", "other three");
    const std::string root = base.path() + "/root";
    const MaildropStore store(root);
    EXPECT_EQ(Names(ScannedSlot(store, "bob")), (std::vector<std::string>{"1", "2"}));
    testing::internal::CaptureStderr();
    // First a link to another tree in its place, then another folder under its name.
    std::filesystem::rename(root, base.path() + "/moved");
    std::filesystem::create_directory_symlink(base.path() + "/other", root);
    ConnectionSlot slot = ScannedSlot(store, "bob");
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Retrieve(slot, 1, store), "first\r\n.\r\n");
    slot.SetMark(0, 'D');
    EXPECT_TRUE(RemoveMarkedMessages(slot, store).AllRemoved());
    EXPECT_FALSE(base.Exists("moved/bob/1"));
    EXPECT_TRUE(base.Exists("other/bob/1"));
    // The remembered listing follows the folder open, not the one the path names now.
    base.Write("moved/bob/4", "fourth");
    base.Write("other/bob/5", "other five");
    EXPECT_EQ(Names(ScannedSlot(store, "bob")), (std::vector<std::string>{"2", "4"}));
    std::filesystem::remove(root);
    std::filesystem::rename(base.path() + "/other", root);
    slot = ScannedSlot(store, "bob");
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"2", "4"}));
    EXPECT_EQ(Retrieve(slot, 2, store), "fourth\r\n.\r\n");
    slot.SetMark(1, 'D');
    EXPECT_TRUE(RemoveMarkedMessages(slot, store).AllRemoved());
    EXPECT_FALSE(base.Exists("moved/bob/4"));
    EXPECT_TRUE(base.Exists("root/bob/1") && base.Exists("root/bob/5"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "drennik: warning: the maildrop root " + root +
                  " was replaced; still serving the one opened at start\n");
}

TEST(Maildrop, ARootThatCannotBeOpenedAtTheStartIsTriedAgainAtEachLogin) {
    TempDir base;
    base.Write("target/bob/1", "behind a link");
    std::filesystem::create_directory_symlink(base.path() + "/target", base.path() + "/link");
    // A link is not followed, with or without a separator after it.
    for (const std::string& path : {base.path() + "/link", base.path() + "/link/"}) {
        const MaildropStore store(path);
        EXPECT_EQ(store.RootProblem(), "the maildrop root " + path +
                                           " is a symbolic link, which is not followed; every "
                                           "maildrop is empty");
        EXPECT_EQ(ScannedSlot(store, "bob").MessageCount(), 0) << path;
    }
    const std::string later = base.path() + "/later/";
    const MaildropStore store(later);
    EXPECT_EQ(store.RootProblem(),
              "the maildrop root " + later + " does not exist; every maildrop is empty");
    EXPECT_EQ(ScannedSlot(store, "bob").MessageCount(), 0);
    base.Write("later/bob/1", "made after the start");
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"1"}));
    EXPECT_EQ(store.RootProblem(), "");
    EXPECT_EQ(Retrieve(slot, 1, store), "made after the start\r\n.\r\n");
}

TEST(Maildrop, ARescanReplacesTheSnapshotAndItsMarks) {
    TempDir root;
    root.Write("bob/1", "one");
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "bob");
    slot.marks[0] = 'D';
    root.Write("bob/2", "two!");
    ScanMaildrop(slot, store);
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(slot.marks, (std::vector<char>{' ', ' '}));
    EXPECT_EQ(slot.totalSize, 11);
}

TEST(Maildrop, ARememberedListingFollowsEveryChange) {
    TempDir root;
    root.Write("bob/1", "one");
    root.Write("bob/2", "two");
    const MaildropStore store(root.path());
    // Sizes as sent: each file's one line gets CR LF.
    auto sizes = [&] {
        const ConnectionSlot slot = ScannedSlot(store, "bob");
        std::string listed;
        for (std::int64_t i = 0; i < slot.MessageCount(); ++i) {
            const auto& message = slot.Message(static_cast<std::size_t>(i));
            listed += message.name + "=" + std::to_string(message.size) + " ";
        }
        return listed;
    };
    EXPECT_EQ(sizes(), "1=5 2=5 ");
    EXPECT_EQ(sizes(), "1=5 2=5 ");
    root.Write("bob/3", "three");  // new mail
    EXPECT_EQ(sizes(), "1=5 2=5 3=7 ");
    root.Write("bob/2", "two, rewritten in place");  // same name, other content
    EXPECT_EQ(sizes(), "1=5 2=25 3=7 ");
    std::filesystem::remove(root.path() + "/bob/1");
    EXPECT_EQ(sizes(), "2=25 3=7 ");
    std::filesystem::rename(root.path() + "/bob/3", root.path() + "/bob/0");
    EXPECT_EQ(sizes(), "0=7 2=25 ");
    // The folder itself replaced under the same name.
    std::filesystem::rename(root.path() + "/bob", root.path() + "/old");
    root.Write("bob/9", "nine!!!");
    EXPECT_EQ(sizes(), "9=9 ");
    std::filesystem::rename(root.path() + "/old", root.path() + "/away");
    EXPECT_EQ(sizes(), "9=9 ");
    // Sessions on an unchanged maildrop share one listing.
    EXPECT_EQ(ScannedSlot(store, "bob").listing, ScannedSlot(store, "bob").listing);
}

TEST(Maildrop, ListingsWhoseChangesGoUnreportedAreNeverRemembered) {
    // One message delivered to two users as two links of one file: a change made through
    // bob's link is reported in bob's folder only, so alice's listing must come from disk.
    TempDir root;
    root.Write("alice/1", "Subject: x\r\n");
    root.Make("bob");
    ASSERT_EQ(::link((root.path() + "/alice/1").c_str(), (root.path() + "/bob/1").c_str()), 0);
    const MaildropStore store(root.path());
    EXPECT_EQ(Sizes(ScannedSlot(store, "alice")), (std::vector<std::int64_t>{12}));
    {
        std::ofstream append(root.path() + "/bob/1", std::ios::app | std::ios::binary);
        append << "appended through the other link\r\n";
    }
    EXPECT_EQ(Sizes(ScannedSlot(store, "alice")), (std::vector<std::int64_t>{45}));
    // Bob deletes his copy: alice's message is still hers to delete, and is deleted.
    ConnectionSlot alice = ScannedSlot(store, "alice");
    std::filesystem::remove(root.path() + "/bob/1");
    alice.SetMark(0, 'D');
    EXPECT_TRUE(RemoveMarkedMessages(alice, store).AllRemoved());
    EXPECT_FALSE(root.Exists("alice/1"));
}

TEST(Maildrop, AMessageStaysItselfThroughAttributeChangesButNotReplacement) {
    TempDir root;
    for (const char* name : {"1", "2", "3", "4"}) {
        root.Write(std::string("bob/") + name, name);
    }
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "bob");
    // A new mode, a new link, a read: still the same file, so still served and deleted.
    ::chmod((root.path() + "/bob/1").c_str(), 0600);
    ASSERT_EQ(::link((root.path() + "/bob/2").c_str(), (root.path() + "/elsewhere").c_str()), 0);
    EXPECT_EQ(Retrieve(slot, 3, store), "3\r\n.\r\n");
    // Replaced by another file under the same name: neither served nor deleted.
    std::filesystem::remove(root.path() + "/bob/4");
    root.Write("bob/4", "4");
    EXPECT_EQ(Retrieve(slot, 4, store), "unavailable");
    for (std::size_t i = 0; i < 4; ++i) {
        slot.SetMark(i, 'D');
    }
    EXPECT_TRUE(RemoveMarkedMessages(slot, store).AllRemoved());
    EXPECT_FALSE(root.Exists("bob/1"));
    EXPECT_FALSE(root.Exists("bob/2"));
    EXPECT_FALSE(root.Exists("bob/3"));
    EXPECT_TRUE(root.Exists("bob/4")) << "new mail under a marked name is kept";
}

TEST(Maildrop, PlainFolderNames) {
    for (const char* good : {"bob", "a.b", "\xe9l\xe9", "x y", "bob."}) {
        EXPECT_TRUE(IsPlainFolderName(good)) << good;
    }
    const std::string nul("a\0b", 3);
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("../x"),
          std::string("a/../../x"), std::string("/etc"), std::string("a\\b"), std::string("c:x"),
          std::string("*"), std::string("?"), std::string("a\tb"), std::string("\x7f"), nul,
          std::string(256, 'a'), std::string("..."), std::string(".bob")}) {
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
    // Long runs of plain lines, which go as spans where the channel takes them, among lines
    // that change; last, a line without its line end, after a long run and a lone CR.
    const std::string plain = std::string(70 * 1024, 'p') + "\r\n";
    root.Write("bob/2", plain + ".dot\n" + plain + plain + "lone cr\r" + plain + "end");
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    const std::string got = Retrieve(slot, 1, store);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    // Mapped and sent without copying, where the channel can: the very same bytes.
    for (std::size_t n = 1; n <= 2; ++n) {
        FakeChannel read;
        const std::string copied = Retrieve(slot, n, store, std::move(read));
        const std::string mapped = Retrieve(slot, n, store, SpanningChannel());
        EXPECT_EQ(mapped.size(), copied.size()) << n;
        EXPECT_TRUE(mapped == copied) << n;
    }
    EXPECT_TRUE(Retrieve(slot, 2, store)
                    .ends_with(plain + "..dot\r\n" + plain + plain + "lone cr\r\n" + plain +
                               "end\r\n.\r\n"));
}

TEST(Maildrop, AMappedMessageCutShortEndsTheReplyInsteadOfTheProgram) {
    TempDir root;
    std::string message;
    for (int i = 0; message.size() < 4 * 1024 * 1024; ++i) {
        message += (i % 10 == 0 ? "." : "") + std::string(78, 'x') + "\r\n";
    }
    const std::string path = root.Write("bob/1", message);
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    const std::unique_ptr<MessageStream> stream = OpenMessage(slot, 0, store);
    ASSERT_TRUE(stream);
    FakeChannel out = SpanningChannel();
    ASSERT_EQ(stream->Pump(out, 1), ReplyStream::Step::More);
    ASSERT_GT(out.borrowedCalls, 0) << "the message was not mapped";
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    // Reading the mapping past the file's new end must not kill the program.
    ReplyStream::Step step = ReplyStream::Step::More;
    for (int i = 0; i < 10 && step == ReplyStream::Step::More; ++i) {
        step = stream->Pump(out, 1);
    }
    EXPECT_EQ(step, ReplyStream::Step::Failed);
    EXPECT_FALSE(out.output.ends_with("\r\n.\r\n"));
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
    const MarkedRemoval removal = RemoveMarkedMessages(slot, store);
    EXPECT_EQ((std::vector<std::size_t>{removal.removed, removal.gone, removal.failed}),
              (std::vector<std::size_t>{2, 2, 0}));
    EXPECT_FALSE(root.Exists("bob/1"));
    EXPECT_TRUE(root.Exists("bob/2"));
    EXPECT_FALSE(root.Exists("bob/3"));
    EXPECT_TRUE(root.Exists("bob/4"));
    // Again over the same marks: nothing more to do, still a success.
    const MarkedRemoval again = RemoveMarkedMessages(slot, store);
    EXPECT_TRUE(again.AllRemoved());
    EXPECT_EQ(again.gone, 4u);
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
    const MarkedRemoval removal = RemoveMarkedMessages(slot, store);
    ::chmod((root.path() + "/bob").c_str(), 0700);
    EXPECT_FALSE(removal.AllRemoved());
    EXPECT_EQ(removal.failed, 1u);
    EXPECT_EQ(removal.firstFailed, "1");
    EXPECT_EQ(removal.firstError, EACCES);
    EXPECT_TRUE(root.Exists("bob/1"));
}

TEST(Maildrop, MaildirServesNewAndCurByBaseNameAndFollowsMovedFiles) {
    TempDir root;
    root.Write("md/new/3", "three\r\n");
    root.Write("md/new/1", "one\r\n");
    root.Write("md/cur/2:2,S", "two\r\n");
    root.Write("md/cur/.hidden", "not a message");
    root.Write("md/tmp/0", "being delivered");
    root.Write("md/beside", "not in new/ or cur/");
    root.Make("md/cur/folder");
    const std::string md = root.path() + "/md";
    const MaildropStore store(root.path());
    ConnectionSlot slot = ScannedSlot(store, "md");
    EXPECT_EQ(Names(slot), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(Drain(*ListUniqueIds(slot)), "1 1\r\n2 2\r\n3 3\r\n.\r\n");

    // Another program reads them: 1 moves to cur/, 2 gets another flag. Same messages.
    std::filesystem::rename(md + "/new/1", md + "/cur/1:2,S");
    std::filesystem::rename(md + "/cur/2:2,S", md + "/cur/2:2,RS");
    EXPECT_EQ(Retrieve(slot, 1, store), "one\r\n.\r\n");
    EXPECT_EQ(Retrieve(slot, 2, store), "two\r\n.\r\n");
    // The change in cur/ is seen by the next login, and so is new mail in new/.
    root.Write("md/new/4", "four\r\n");
    const ConnectionSlot again = ScannedSlot(store, "md");
    EXPECT_EQ(Names(again), (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(again.Message(0).path, "cur/1:2,S");

    slot.SetMark(0, 'D');
    slot.SetMark(1, 'D');
    std::filesystem::rename(md + "/cur/1:2,S", md + "/cur/1:2,ST");
    const MarkedRemoval removal = RemoveMarkedMessages(slot, store);
    EXPECT_EQ(removal.removed, 2u);
    EXPECT_EQ(Names(ScannedSlot(store, "md")), (std::vector<std::string>{"3", "4"}));
    EXPECT_TRUE(root.Exists("md/tmp/0"));
}

namespace {

// RETR's octets as LIST counts them: without the "." put in front of lines and the ".\r\n".
std::int64_t SentOctets(const std::string& sent) {
    std::int64_t stuffed = 0;
    for (std::size_t at = 0; at < sent.size(); at = sent.find("\r\n", at) + 2) {
        stuffed += sent.compare(at, 2, "..") == 0 ? 1 : 0;
    }
    return static_cast<std::int64_t>(sent.size()) - stuffed - 3;
}

}  // namespace

TEST(Maildrop, ListedSizesAreTheOctetsRetrSends) {
    std::string mixed;  // line ends on both sides of the 64-byte blocks the count looks at
    for (int i = 0; i < 40; ++i) {
        mixed += std::string(static_cast<std::size_t>(i % 7 + 56), 'm') +
                 (i % 3 == 0   ? "\r\n"
                  : i % 3 == 1 ? "\n"
                               : "\r") +
                 (i % 5 == 0 ? "." : "");
    }
    const std::vector<std::string> contents = {
        "",        "a",          "a\n",        "a\r\n",
        "a\r",     "\n",         "\r",         "\r\n",
        "\n\r",    "\r\r\n",     "a\n\nb",     "a\r\rb\r\n",
        ".a\n..b", ".\r\n.\n",   "x\r\n\r\n.", std::string(51, 'z'),
        mixed,     mixed + "\r",
    };
    TempDir root;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        root.Write("bob/" + std::string(1, static_cast<char>('a' + i)), contents[i]);
    }
    const MaildropStore store(root.path());
    const ConnectionSlot slot = ScannedSlot(store, "bob");
    ASSERT_EQ(slot.MessageCount(), static_cast<std::int64_t>(contents.size()));
    std::int64_t total = 0;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const std::string sent = Retrieve(slot, i + 1, store);
        EXPECT_EQ(slot.Message(i).size, SentOctets(sent)) << "message " << i + 1;
        EXPECT_EQ(platform::WireSizeOf(contents[i]), SentOctets(sent)) << "message " << i + 1;
        total += SentOctets(sent);
    }
    EXPECT_EQ(slot.totalSize, total);
}

TEST(Maildrop, FilesAreReadToCountThemOnlyWhenNew) {
    TempDir root;
    const std::string text = std::string(4000, 'x') + "\n";
    for (int i = 0; i < 20; ++i) {
        root.Write("bob/" + std::to_string(100 + i), text);
    }
    const MaildropStore store(root.path());
    long long before = BytesReadSoFar();
    EXPECT_EQ(ScannedSlot(store, "bob").totalSize, 20 * 4002);
    EXPECT_GE(BytesReadSoFar() - before, 20 * 4001);
    // The folder unchanged: its listing is remembered, with the sizes, and no file is read.
    before = BytesReadSoFar();
    EXPECT_EQ(ScannedSlot(store, "bob").totalSize, 20 * 4002);
    EXPECT_LT(BytesReadSoFar() - before, 4001);
    EXPECT_EQ(store.ListMessages("bob"), store.ListMessages("bob"));

    // A changed folder is listed again, but only its new files are read.
    const std::uint64_t read = platform::WireSizeFilesRead();
    root.Write("bob/200", "new\n");
    root.Write("bob/101", "rewritten in place\n");
    ConnectionSlot changed = ScannedSlot(store, "bob");
    EXPECT_EQ(platform::WireSizeFilesRead() - read, 2u);
    EXPECT_EQ(changed.Message(1).size, 20);
    EXPECT_EQ(changed.Message(20).size, 5);
    // A file that cannot be read keeps its size.
    if (::geteuid() != 0) {
        root.Write("bob/201", "a\nb");
        ::chmod((root.path() + "/bob/201").c_str(), 0);
        EXPECT_EQ(ScannedSlot(store, "bob").Message(21).size, 3);
    }
}

TEST(Maildrop, ManyNewFilesAreCountedOffTheLoop) {
    TempDir root;
    constexpr int kFiles = static_cast<int>(SizeCounting::kInlineFiles) + 8;
    for (int i = 0; i < kFiles; ++i) {
        root.Write("bob/" + std::to_string(100 + i), "line\n");
    }
    MaildropStore store(root.path());
    store.CountOffLoop();
    // Two logins at once: one count, and both get its listing once it is done.
    int answered = 0;
    std::shared_ptr<const platform::FolderListing> first, second;
    store.ListMessages("bob", [&](auto listing, int) { first = listing, ++answered; });
    store.ListMessages("bob", [&](auto listing, int) { second = listing, ++answered; });
    EXPECT_EQ(answered, 0);
    const std::uint64_t read = platform::WireSizeFilesRead();
    ASSERT_TRUE(testing_support::PumpUntil([&] { return answered == 2; }));
    EXPECT_EQ(first, second);
    EXPECT_EQ(TotalSize(*first), kFiles * 6);
    EXPECT_LE(platform::WireSizeFilesRead() - read, static_cast<std::uint64_t>(kFiles));
    // Counted once: the next login is answered at once.
    store.ListMessages("bob", [&](auto listing, int) { second = listing, ++answered; });
    EXPECT_EQ(answered, 3);
    EXPECT_EQ(TotalSize(*second), kFiles * 6);
}