#include "mail_service/maildrop_locks.h"

#include "mail_service/maildrop.h"

#include <cerrno>

MaildropLocks::Hold::Hold(MaildropLocks& locks, std::string user, platform::FolderLock file)
    : locks_(locks), user_(std::move(user)), file_(std::move(file)) {
    locks_.held_.insert(user_);
}

MaildropLocks::Hold::~Hold() {
    locks_.held_.erase(user_);
}

MaildropLocks::Outcome MaildropLocks::Take(const MaildropStore& store, const std::string& user,
                                           std::unique_ptr<Hold>& hold) {
    if (held_.count(user) != 0) {
        return Outcome::InUse;
    }
    platform::FolderLock file;
    if (const platform::StoreFolder folder = store.OpenUserFolder(user); folder.IsOpen()) {
        int error = 0;
        file = platform::FolderLock::Take(folder.fd(), kLockFile, error);
        if (!file.Held()) {
            return error == EAGAIN ? Outcome::InUse : Outcome::Failed;
        }
    }
    hold = std::make_unique<Hold>(*this, user, std::move(file));
    return Outcome::Held;
}
