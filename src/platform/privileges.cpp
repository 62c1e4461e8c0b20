#include "platform/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

namespace {

// Serving mail as root would let a link or a name in a maildrop reach any file: staying root is
// only ever a deliberate choice.
constexpr const char* kRootRefusal =
    "will not run as root: the maildrop root is missing or owned by root; chown it to an "
    "unprivileged user, or pass --user NAME (--user root to stay root on purpose)";

// getpwnam_r / getpwuid_r with a buffer grown until the entry fits.
template <typename Key, typename Get>
std::optional<Account> LookUp(Key key, Get get) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    for (int attempt = 0; attempt < 8; ++attempt) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = get(key, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return Account{entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir};
    }
    return std::nullopt;
}

std::string Reason(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

RunAsChoice Refusal(std::string_view user, std::string_view reason) {
    return {RunAsChoice::Kind::Refuse,
            {},
            "cannot switch to user " + std::string(user) + ": " + std::string(reason)};
}

}  // namespace

std::optional<Account> SystemAccounts::ByName(const std::string& name) const {
    return LookUp(name.c_str(), ::getpwnam_r);
}

std::optional<Account> SystemAccounts::ById(uid_t uid) const {
    return LookUp(uid, ::getpwuid_r);
}

RunAsChoice ChooseRunAs(uid_t euid, std::string_view requested, std::optional<uid_t> rootOwner,
                        const AccountLookup& accounts) {
    if (!requested.empty()) {
        const std::optional<Account> account = accounts.ByName(std::string(requested));
        if (!account) {
            return Refusal(requested, "no such user");
        }
        // Asking for the user one already is, root included, is no change.
        if (account->uid == euid) {
            return {};
        }
        if (euid != 0) {
            return Refusal(requested, "not started as root");
        }
        return {RunAsChoice::Kind::Switch, *account, {}};
    }
    if (euid != 0) {
        return {};
    }
    if (!rootOwner || *rootOwner == 0) {
        return {RunAsChoice::Kind::Refuse, {}, kRootRefusal};
    }
    const std::optional<Account> owner = accounts.ById(*rootOwner);
    if (!owner) {
        return Refusal(std::to_string(*rootOwner),
                       "the owner of the maildrop root has no account; pass --user NAME");
    }
    return {RunAsChoice::Kind::Switch, *owner, {}};
}

std::optional<uid_t> OwnerOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return status.st_uid;
}

std::string SecretFileWarning(const std::string& path, uid_t uid, gid_t gid) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};  // whoever reads it says what is wrong
    }
    std::string wrong;
    if ((status.st_mode & S_IROTH) != 0) {
        wrong = "is readable by others";
    } else if ((status.st_mode & S_IRGRP) != 0 && status.st_gid != gid) {
        wrong = "is readable by group " + std::to_string(status.st_gid);
    } else if (status.st_uid != 0 && status.st_uid != uid) {
        wrong = "belongs to user " + std::to_string(status.st_uid) +
                ", neither root nor the server's user";
    }
    return wrong.empty() ? wrong : path + " " + wrong + "; it holds secrets";
}

std::string ForbidNewPrivileges() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return Reason("prctl(PR_SET_NO_NEW_PRIVS)");
    }
    return {};
}

std::string BecomeAccount(const Account& account) {
    // Groups before the user: once the user is not root, the groups can no longer change.
    if (::initgroups(account.name.c_str(), account.gid) != 0) {
        return Reason("initgroups");
    }
    if (::setgid(account.gid) != 0) {
        return Reason("setgid");
    }
    if (::setuid(account.uid) != 0) {
        return Reason("setuid");
    }
    if (::getuid() != account.uid || ::geteuid() != account.uid || ::getgid() != account.gid ||
        ::getegid() != account.gid) {
        return "the user or group did not change";
    }
    // Succeeding here would mean a saved id still holds root.
    if (account.uid != 0 && ::setuid(0) == 0) {
        return "root can still be regained";
    }
    if (account.gid != 0 && ::setgid(0) == 0) {
        return "the root group can still be regained";
    }
    // Root's home and settings are not this user's to write.
    ::setenv("HOME", account.home.c_str(), 1);
    ::setenv("USER", account.name.c_str(), 1);
    ::setenv("LOGNAME", account.name.c_str(), 1);
    return {};
}

}  // namespace platform
