#include "mail_service/delivery.h"
#include "platform/file_system.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

using testing_support::TempDir;

namespace {

// Gives `text` seven bytes at a time, as a pipe might.
MessageReader ReaderOf(const std::string& text) {
    auto at = std::make_shared<std::size_t>(0);
    return [text, at](char* buffer, std::size_t capacity) -> long {
        const std::size_t n = std::min({capacity, std::size_t{7}, text.size() - *at});
        std::memcpy(buffer, text.data() + *at, n);
        *at += n;
        return static_cast<long>(n);
    };
}

// Every file below `folder`, hidden ones too, as "relative path=content".
std::vector<std::string> FilesBelow(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            files.push_back(std::filesystem::relative(entry.path(), folder).string() + "=" +
                            content.str());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The files below `folder` with their names' unique part taken out.
std::vector<std::string> Contents(const std::string& folder) {
    std::vector<std::string> files = FilesBelow(folder);
    for (std::string& file : files) {
        const std::size_t equals = file.find('=');
        file = file.substr(0, file.rfind('/', equals) + 1) + file.substr(equals);
    }
    std::sort(files.begin(), files.end());
    return files;
}

DeliveryRules Rules(bool create, std::string catchAll = {},
                    std::int64_t maxSize = DeliveryRules{}.maxMessageSize) {
    DeliveryRules rules;
    rules.createMaildrops = create;
    rules.catchAll = std::move(catchAll);
    rules.maxMessageSize = maxSize;
    return rules;
}

}  // namespace

TEST(Delivery, WritesHiddenThenSyncsRenamesAndSyncsTheFolder) {
    TempDir root;
    root.Make("bob");
    const MaildropStore store(root.path());
    std::vector<std::string> steps;
    std::vector<std::size_t> listedWhileWriting;
    const auto observe = [&](std::string_view step) {
        steps.emplace_back(step);
        if (step == "write") {
            listedWhileWriting.push_back(
                platform::ListFolder(store.OpenUserFolder("bob")).entries.size());
            EXPECT_EQ(Contents(root.path()), std::vector<std::string>{"bob/=Hello\r\n"});
        }
    };
    const DeliveryReport report = DeliverMessage(store.RootFolder(), {"bob"}, DeliveryRules{},
                                                 ReaderOf("Hello\r\n"), observe);
    EXPECT_EQ(report.outcome, DeliveryOutcome::Delivered);
    EXPECT_EQ(steps, (std::vector<std::string>{"write", "fsync file", "rename", "fsync folder"}));
    EXPECT_EQ(listedWhileWriting, std::vector<std::size_t>{0}) << "a temporary file is hidden";
    ASSERT_EQ(report.stored.size(), 1u);
    EXPECT_EQ(FilesBelow(root.path()), std::vector<std::string>{report.stored[0] + "=Hello\r\n"});
    EXPECT_NE(report.stored[0].find("bob/1"), std::string::npos) << report.stored[0];
}

TEST(Delivery, OutcomesForRecipientsRulesAndInput) {
    const std::string big(100, 'x');
    struct Case {
        const char* what;
        std::vector<std::string> users;
        DeliveryRules rules;
        std::string input;
        DeliveryOutcome outcome;
        std::vector<std::string> after;  // the files below the root, unique parts left out
    };
    const std::vector<Case> cases{
        {"known", {"bob"}, {}, "m\n", DeliveryOutcome::Delivered, {"bob/=m\n"}},
        {"two, one twice",
         {"bob", "ann", "bob"},
         {},
         big,
         DeliveryOutcome::Delivered,
         {"ann/=" + big, "bob/=" + big}},
        {"unknown", {"eve"}, {}, "m\n", DeliveryOutcome::UnknownUser, {}},
        {"one unknown stores nothing", {"bob", "eve"}, {}, "m\n", DeliveryOutcome::UnknownUser, {}},
        {"created", {"eve"}, Rules(true), "m\n", DeliveryOutcome::Delivered, {"eve/=m\n"}},
        {"caught",
         {"eve", "bob"},
         Rules(false, "ann"),
         "m\n",
         DeliveryOutcome::Delivered,
         {"ann/=m\n", "bob/=m\n"}},
        {"catch-all without a folder",
         {"eve"},
         Rules(false, "zed"),
         "m\n",
         DeliveryOutcome::UnknownUser,
         {}},
        {"parent", {".."}, Rules(true), "m\n", DeliveryOutcome::UnknownUser, {}},
        {"hidden", {".bob"}, Rules(true), "m\n", DeliveryOutcome::UnknownUser, {}},
        {"path", {"bob/x"}, Rules(true), "m\n", DeliveryOutcome::UnknownUser, {}},
        {"too long", {std::string(256, 'a')}, Rules(true), "m\n", DeliveryOutcome::UnknownUser, {}},
        {"link", {"lnk"}, {}, "m\n", DeliveryOutcome::UnknownUser, {}},
        {"at the size limit",
         {"bob"},
         Rules(false, {}, 100),
         big,
         DeliveryOutcome::Delivered,
         {"bob/=" + big}},
        {"over it", {"bob", "ann"}, Rules(false, {}, 99), big, DeliveryOutcome::TooBig, {}},
        {"empty", {"bob"}, {}, "", DeliveryOutcome::BadInput, {}},
        {"Maildir", {"md"}, {}, "m\n", DeliveryOutcome::Delivered, {"md/new/=m\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        root.Make("bob");
        root.Make("ann");
        root.Make("md/cur");
        root.Make("md/new");
        std::filesystem::create_directory_symlink(root.path() + "/bob", root.path() + "/lnk");
        const MaildropStore store(root.path());
        const DeliveryReport report =
            DeliverMessage(store.RootFolder(), c.users, c.rules, ReaderOf(c.input));
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(Contents(root.path()), c.after);
        EXPECT_EQ(report.stored.size(), c.after.size());
    }
}

TEST(Delivery, NamesSortInArrivalOrder) {
    EXPECT_EQ(DeliveryName(1765250000, 42, 1234, 7, "mx:1/a"),
              "1765250000.M000042P0000001234Q0000000007.mx\\0721\\057a");
    const std::vector<std::string> arrived{
        DeliveryName(999999999, 999999, 99, 99, "z"), DeliveryName(1000000000, 0, 1, 0, "a"),
        DeliveryName(1000000000, 1, 1, 0, "a"), DeliveryName(1000000000, 1, 1, 1, "a"),
        DeliveryName(1000000000, 1, 1, 10, "a")};
    EXPECT_TRUE(std::is_sorted(arrived.begin(), arrived.end()));

    TempDir root;
    root.Make("bob");
    const MaildropStore store(root.path());
    std::vector<std::string> stored;
    for (int i = 0; i < 20; ++i) {
        stored.push_back(
            DeliverMessage(store.RootFolder(), {"bob"}, {}, ReaderOf(std::to_string(i)))
                .stored.at(0));
    }
    EXPECT_TRUE(std::is_sorted(stored.begin(), stored.end()));
}
