#pragma once
// Giving up root after the listening socket is bound, so that reading and deleting mail obey the
// file permissions of an ordinary user. POSIX only.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

// The user database; tests put a table in its place.
class AccountLookup {
public:
    virtual ~AccountLookup() = default;
    virtual std::optional<Account> ByName(const std::string& name) const = 0;
    virtual std::optional<Account> ById(uid_t uid) const = 0;
};

// The system's accounts (getpwnam_r, getpwuid_r).
class SystemAccounts final : public AccountLookup {
public:
    std::optional<Account> ByName(const std::string& name) const override;
    std::optional<Account> ById(uid_t uid) const override;
};

struct RunAsChoice {
    enum class Kind {
        Stay,    // keep the current user
        Switch,  // become `account` once the port is bound
        Refuse,  // do not start: `message` says why
    };
    Kind kind = Kind::Stay;
    Account account;
    std::string message;  // one line, without the program name
};

// Whom to run as. `euid` is the effective user at start; `requested` the --user name, empty when
// none was given; `rootOwner` the owner of the maildrop root, nullopt when there is none.
RunAsChoice ChooseRunAs(uid_t euid, std::string_view requested, std::optional<uid_t> rootOwner,
                        const AccountLookup& accounts);

// The owner of `path` (after links), nullopt when it does not exist.
std::optional<uid_t> OwnerOf(const std::string& path);

// A file holding secrets (passwords, a private key) should be readable by the server's user
// alone, and owned by root or that user. One line saying what is wrong with `path` for a
// server running as `uid`/`gid`, without the program name; empty when nothing is.
std::string SecretFileWarning(const std::string& path, uid_t uid, gid_t gid);

// From now on no exec can gain privileges (set-user-ID programs, file capabilities).
// Empty on success, otherwise the reason.
std::string ForbidNewPrivileges();

// Becomes `account` for the rest of the run: supplementary groups, group, then user, and checks
// that root cannot be regained. Empty on success, otherwise the reason.
std::string BecomeAccount(const Account& account);

}  // namespace platform
