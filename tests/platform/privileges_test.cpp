#include "platform/privileges.h"

#include <gtest/gtest.h>

#include <vector>

using platform::Account;
using platform::ChooseRunAs;
using platform::RunAsChoice;

namespace {

class Table final : public platform::AccountLookup {
public:
    std::vector<Account> accounts = {{"root", 0, 0, "/root"},
                                     {"toor", 0, 0, "/root"},
                                     {"mail", 8, 8, "/var/mail"},
                                     {"nobody", 65534, 65534, "/nonexistent"}};
    std::optional<Account> ByName(const std::string& name) const override {
        for (const Account& a : accounts) {
            if (a.name == name) {
                return a;
            }
        }
        return std::nullopt;
    }
    std::optional<Account> ById(uid_t uid) const override {
        for (const Account& a : accounts) {
            if (a.uid == uid) {
                return a;
            }
        }
        return std::nullopt;
    }
};

}  // namespace

TEST(RunAs, StartedAsRootBecomesTheRequestedUserElseTheRootsOwner) {
    const Table table;
    RunAsChoice c = ChooseRunAs(0, "", 8, table);
    EXPECT_EQ(c.kind, RunAsChoice::Kind::Switch);
    EXPECT_EQ(c.account.name, "mail");
    EXPECT_EQ(c.account.gid, 8u);
    EXPECT_EQ(c.account.home, "/var/mail");

    // --user wins over the owner, whoever owns the root, and even when there is none.
    for (const std::optional<uid_t> owner :
         {std::optional<uid_t>(8), std::optional<uid_t>(0), std::optional<uid_t>()}) {
        c = ChooseRunAs(0, "nobody", owner, table);
        EXPECT_EQ(c.kind, RunAsChoice::Kind::Switch);
        EXPECT_EQ(c.account.uid, 65534u);
        EXPECT_TRUE(c.message.empty());
    }
    // Naming root (by any name) is a deliberate choice: no switch and no warning.
    EXPECT_EQ(ChooseRunAs(0, "toor", 8, table).kind, RunAsChoice::Kind::Stay);
}

TEST(RunAs, RootOwnedOrMissingRootIsRefusedNamingTheUserOption) {
    const Table table;
    for (const std::optional<uid_t> owner : {std::optional<uid_t>(0), std::optional<uid_t>()}) {
        const RunAsChoice c = ChooseRunAs(0, "", owner, table);
        EXPECT_EQ(c.kind, RunAsChoice::Kind::Refuse);
        EXPECT_NE(c.message.find("--user NAME"), std::string::npos);
        EXPECT_NE(c.message.find("--user root"), std::string::npos);
        EXPECT_EQ(c.message.find('\n'), std::string::npos);
    }
    // Root asked for by name stays root.
    EXPECT_EQ(ChooseRunAs(0, "root", 0, table).kind, RunAsChoice::Kind::Stay);
}

TEST(RunAs, UsersThatCannotBeHadAreRefusedWithTheReason) {
    const Table table;
    struct Case {
        uid_t euid;
        const char* requested;
        std::optional<uid_t> owner;
        const char* message;
    };
    for (const Case& c : {
             Case{0, "ghost", 8, "cannot switch to user ghost: no such user"},
             Case{1000, "ghost", 8, "cannot switch to user ghost: no such user"},
             Case{8, "nobody", 8, "cannot switch to user nobody: not started as root"},
             Case{8, "root", 8, "cannot switch to user root: not started as root"},
             Case{0, "", 4242,
                  "cannot switch to user 4242: the owner of the maildrop root has no "
                  "account; pass --user NAME"},
         }) {
        const RunAsChoice choice = ChooseRunAs(c.euid, c.requested, c.owner, table);
        EXPECT_EQ(choice.kind, RunAsChoice::Kind::Refuse) << c.requested;
        EXPECT_EQ(choice.message, c.message);
    }
}

TEST(RunAs, NotStartedAsRootNothingChanges) {
    const Table table;
    for (const std::optional<uid_t> owner :
         {std::optional<uid_t>(0), std::optional<uid_t>(65534), std::optional<uid_t>()}) {
        EXPECT_EQ(ChooseRunAs(8, "", owner, table).kind, RunAsChoice::Kind::Stay);
        // Naming oneself is allowed.
        EXPECT_EQ(ChooseRunAs(8, "mail", owner, table).kind, RunAsChoice::Kind::Stay);
    }
}

TEST(RunAs, OwnerOfFollowsThePathAndIsEmptyWithoutOne) {
    EXPECT_EQ(platform::OwnerOf("/"), std::optional<uid_t>(0));
    EXPECT_FALSE(platform::OwnerOf("/no/such/drennik/path"));
}
