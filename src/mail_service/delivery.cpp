#include "mail_service/delivery.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {

// Where one recipient's message goes: the folder its temporary file is made in, and the one
// it is renamed into (the same, for a plain folder; tmp/ and new/ for a Maildir).
struct Target {
    std::string user;                // as named
    std::vector<std::string> named;  // every user, as named, whose mail goes to this folder
    std::string folder;              // the folder under the root that receives it
    platform::StoreFolder temporary;
    platform::StoreFolder final;
    std::string finalName;  // "new/" or "" before the name, for the report
};

// A fresh name now; later calls in this process sort after earlier ones.
std::string NextName() {
    static std::uint32_t counter = 0;
    static const std::string host = LocalHostName();
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    return DeliveryName(micros / 1'000'000, static_cast<std::uint32_t>(micros % 1'000'000),
                        static_cast<long>(::getpid()), counter++, host);
}

// The folder named `name`, made first when the rules allow; not open when it cannot be had.
platform::StoreFolder OpenOrMake(const platform::StoreFolder& parent, const std::string& name,
                                 bool make) {
    platform::StoreFolder folder = parent.OpenFolder(name);
    if (!folder.IsOpen() && folder.error() == ENOENT && make) {
        if (const int error = platform::MakeFolder(parent, name); error != 0 && error != EEXIST) {
            return folder;
        }
        folder = parent.OpenFolder(name);
    }
    return folder;
}

// Resolves `user` into `target`: Delivered, UnknownUser or Failed (with `error`).
DeliveryOutcome Resolve(const platform::StoreFolder& root, const std::string& user,
                        const DeliveryRules& rules, Target& target, int& error) {
    if (!IsPlainFolderName(user)) {
        return DeliveryOutcome::UnknownUser;
    }
    if (!root.IsOpen()) {
        error = root.error();
        return DeliveryOutcome::Failed;
    }
    std::string folderName = user;
    platform::StoreFolder folder = OpenOrMake(root, folderName, rules.createMaildrops);
    if (!folder.IsOpen() && folder.error() == ENOENT && !rules.catchAll.empty() &&
        IsPlainFolderName(rules.catchAll)) {
        folderName = rules.catchAll;
        folder = OpenOrMake(root, folderName, rules.createMaildrops);
    }
    if (!folder.IsOpen()) {
        if (folder.error() == ENOENT || folder.error() == ELOOP || folder.error() == ENOTDIR) {
            return DeliveryOutcome::UnknownUser;  // no folder (a link or a file is none)
        }
        error = folder.error();
        return DeliveryOutcome::Failed;
    }
    target.user = user;
    target.folder = folderName;
    if (folder.FolderIdOf("cur") && folder.FolderIdOf("new")) {
        target.temporary = OpenOrMake(folder, "tmp", true);
        target.final = folder.OpenFolder("new");
        target.finalName = "new/";
        if (!target.temporary.IsOpen() || !target.final.IsOpen()) {
            error = !target.temporary.IsOpen() ? target.temporary.error() : target.final.error();
            return DeliveryOutcome::Failed;
        }
        return DeliveryOutcome::Delivered;
    }
    target.final = std::move(folder);  // the temporary file goes beside its final name
    return DeliveryOutcome::Delivered;
}

const platform::StoreFolder& TemporaryFolder(const Target& target) {
    return target.temporary.IsOpen() ? target.temporary : target.final;
}

// Renames into a free name: a name is taken only if another delivery got the same microsecond,
// process and counter (a restarted process with the pid again), so a few tries settle it.
int CommitUnique(platform::NewMessageFile& file, Target& target, DeliveryReport& report) {
    int error = EEXIST;
    for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
        const std::string name = NextName();
        error = file.Commit(target.final, name);
        if (error == 0) {
            report.stored.push_back(target.folder + "/" + target.finalName + name);
        }
    }
    return error;
}

DeliveryReport Failure(DeliveryOutcome outcome, const std::string& user, int error) {
    DeliveryReport report;
    report.outcome = outcome;
    report.user = user;
    report.error = error;
    return report;
}

}  // namespace

std::string DeliveryName(std::int64_t seconds, std::uint32_t microseconds, long pid,
                         std::uint32_t counter, std::string_view host) {
    char head[80];
    std::snprintf(head, sizeof head, "%010lld.M%06uP%010ldQ%010u.", static_cast<long long>(seconds),
                  microseconds, pid, counter);
    std::string name = head;
    for (const char c : host) {
        if (c == '/') {
            name += "\\057";
        } else if (c == ':') {
            name += "\\072";
        } else {
            name += c;
        }
    }
    return name;
}

DeliveryReport DeliverMessage(const platform::StoreFolder& root,
                              const std::vector<std::string>& users, const DeliveryRules& rules,
                              const MessageReader& read, platform::StoreStepObserver observer) {
    std::vector<Target> targets;
    for (const std::string& user : users) {
        Target target;
        int error = 0;
        if (const DeliveryOutcome outcome = Resolve(root, user, rules, target, error);
            outcome != DeliveryOutcome::Delivered) {
            return Failure(outcome, user, error);
        }
        bool again = false;
        for (Target& earlier : targets) {
            if (earlier.folder == target.folder) {
                earlier.named.push_back(user);
                again = true;
                break;
            }
        }
        if (!again) {
            target.named.push_back(user);
            targets.push_back(std::move(target));
        }
    }
    if (targets.empty()) {
        return Failure(DeliveryOutcome::UnknownUser, {}, 0);
    }

    // The first recipient's file takes the message as it is read.
    platform::NewMessageFile first;
    if (const int error = first.Create(TemporaryFolder(targets[0]), "." + NextName(), observer);
        error != 0) {
        return Failure(DeliveryOutcome::Failed, targets[0].user, error);
    }
    const auto buffer = std::make_unique<char[]>(64 * 1024);
    while (true) {
        const long n = read(buffer.get(), 64 * 1024);
        if (n < 0) {
            return Failure(DeliveryOutcome::BadInput, {}, errno);
        }
        if (n == 0) {
            break;
        }
        if (first.size() + n > rules.maxMessageSize) {
            return Failure(DeliveryOutcome::TooBig, {}, EFBIG);  // the file goes with `first`
        }
        if (const int error = first.Write(buffer.get(), static_cast<std::size_t>(n)); error != 0) {
            return Failure(DeliveryOutcome::Failed, targets[0].user, error);
        }
    }
    if (first.size() == 0) {
        return Failure(DeliveryOutcome::BadInput, {}, 0);
    }

    DeliveryReport report;
    // The others' copies are made before the first is committed: until every copy is written,
    // nothing is delivered, so a full disk leaves no recipient with the message.
    std::vector<platform::NewMessageFile> copies(targets.size());
    for (std::size_t i = 1; i < targets.size(); ++i) {
        int error = copies[i].Create(TemporaryFolder(targets[i]), "." + NextName(), observer);
        if (error == 0) {
            error = copies[i].CopyFrom(first);
        }
        if (error != 0) {
            return Failure(DeliveryOutcome::Failed, targets[i].user, error);
        }
    }
    copies[0] = std::move(first);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (const int error = CommitUnique(copies[i], targets[i], report); error != 0) {
            report.outcome = DeliveryOutcome::Failed;
            report.user = targets[i].user;
            report.error = error;
            return report;
        }
        report.deliveredUsers.insert(report.deliveredUsers.end(), targets[i].named.begin(),
                                     targets[i].named.end());
    }
    return report;
}

DeliveryOutcome CheckRecipient(const platform::StoreFolder& root, const std::string& user,
                               const DeliveryRules& rules, int& error) {
    if (!IsPlainFolderName(user)) {
        return DeliveryOutcome::UnknownUser;
    }
    if (!root.IsOpen()) {
        error = root.error();
        return DeliveryOutcome::Failed;
    }
    if (rules.createMaildrops) {
        return DeliveryOutcome::Delivered;  // the folder is made when the message comes
    }
    platform::StoreFolder folder = root.OpenFolder(user);
    if (!folder.IsOpen() && folder.error() == ENOENT && !rules.catchAll.empty() &&
        IsPlainFolderName(rules.catchAll)) {
        folder = root.OpenFolder(rules.catchAll);
    }
    if (folder.IsOpen()) {
        return DeliveryOutcome::Delivered;
    }
    if (folder.error() != ENOENT && folder.error() != ELOOP && folder.error() != ENOTDIR) {
        error = folder.error();
        return DeliveryOutcome::Failed;
    }
    return DeliveryOutcome::UnknownUser;
}

std::string LocalHostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') {
        return "localhost";
    }
    return buffer;
}
