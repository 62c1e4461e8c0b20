#pragma once
// With --lock-maildrop, one logged-in session per maildrop: a session holds its user's maildrop
// from login to its end, here in the process (record locks do not exclude the process that
// holds them) and by a record lock on a hidden file in the folder, which other processes
// serving the same root see.

#include "platform/folder_lock.h"

#include <memory>
#include <string>
#include <unordered_set>

class MaildropStore;

class MaildropLocks {
public:
    // Hidden, so never listed as a message.
    static constexpr const char* kLockFile = ".drennik.lock";

    // One session's hold on one maildrop, let go when destroyed. The locks must outlive it.
    class Hold {
    public:
        Hold(MaildropLocks& locks, std::string user, platform::FolderLock file);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        const std::string& User() const { return user_; }

    private:
        MaildropLocks& locks_;
        std::string user_;
        platform::FolderLock file_;
    };

    enum class Outcome { Held, InUse, Failed };

    void SetEnabled(bool enabled) { enabled_ = enabled; }
    bool Enabled() const { return enabled_; }

    // Takes `user`'s maildrop into `hold`. A user without a folder has nothing to lock in it
    // and is held here only. Failed: the lock file could not be made or opened.
    Outcome Take(const MaildropStore& store, const std::string& user, std::unique_ptr<Hold>& hold);

private:
    bool enabled_ = false;
    std::unordered_set<std::string> held_;
};
