#include "mail_service/authenticator.h"

#include "platform/password_hash.h"

#include <QThread>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace {

// Until a table is set there is nothing to be like; a yescrypt hash of nothing anyone would type.
constexpr char kNoDecoy[] =
    "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$FsDrHcG.pJqGLPCJuDq.t5zzEjp8iakYM8TVWZgxVH0";

// The method and cost of a crypt(3) hash, without its salt and checksum: "$y$j9T$",
// "$6$rounds=9000$", "$2b$12$". Hashes with the same setting cost the same to check.
std::string CostSetting(const std::string& hash) {
    const bool bcrypt = hash.rfind("$2", 0) == 0;  // cost, then salt and checksum in one part
    std::size_t end = hash.size();
    for (int parts = bcrypt ? 1 : 2; parts > 0 && end != std::string::npos && end > 0; --parts) {
        end = hash.rfind('$', end - 1);
    }
    return end == std::string::npos ? hash : hash.substr(0, end + 1);
}

// How long one check against `hash` takes: the best of a few, so a busy moment counts less.
std::chrono::nanoseconds CheckCost(const std::string& hash) {
    std::chrono::nanoseconds best = std::chrono::nanoseconds::max();
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        platform::PasswordMatches("drennik decoy", hash);
        best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    return best;
}

}  // namespace

Authenticator::Authenticator(QObject* parent)
    : QObject(parent),
      decoy_(kNoDecoy),
      // One worker more than one address may hold, so that another address always finds one.
      workers_(std::max<std::size_t>(kRunningPerAddress + 1,
                                     static_cast<std::size_t>(QThread::idealThreadCount()))) {
    pool_.setMaxThreadCount(static_cast<int>(workers_));
}

Authenticator::~Authenticator() {
    // Only what already runs is waited for: shutting down never waits for a queue of guesses.
    byAddress_.clear();
    pool_.clear();
    pool_.waitForDone();
}

std::optional<Authenticator::PasswordTable> Authenticator::ReadPasswordFile(const std::string& path,
                                                                            std::string& error) {
    std::ifstream in(path, std::ios::binary);
    struct stat status {};
    if (!in || ::stat(path.c_str(), &status) != 0) {
        error = "cannot read the passwords file " + path;
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "the passwords file " + path + " is not a regular file";
        return std::nullopt;
    }
    PasswordTable hashes;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const std::size_t colon = line.find(':');
        const std::string where = path + " line " + std::to_string(number) + ": ";
        if (colon == std::string::npos || colon == 0) {
            error = where + "expected user:hash";
            return std::nullopt;
        }
        std::string user = line.substr(0, colon);
        std::string hash = line.substr(colon + 1);
        if (!platform::IsUsableHash(hash)) {
            error = where + "not a crypt(3) hash this system can check";
            return std::nullopt;
        }
        if (!hashes.emplace(std::move(user), std::move(hash)).second) {
            error = where + "the user is named twice";
            return std::nullopt;
        }
    }
    if (in.bad()) {
        error = "cannot read the passwords file " + path;
        return std::nullopt;
    }
    if (hashes.empty()) {
        // Falling back to "the password is the user name" would open every maildrop.
        error = "the passwords file " + path + " has no user:hash entry";
        return std::nullopt;
    }
    return hashes;
}

std::string Authenticator::SetPasswords(PasswordTable hashes) {
    hashes_ = std::move(hashes);
    checksPasswords_ = true;
    // One hash of each setting, measured: the decoy is the costliest, so an unknown user is
    // never answered sooner than the slowest known one.
    std::map<std::string, const std::string*> settings;
    for (const auto& [user, hash] : hashes_) {
        settings.emplace(CostSetting(hash), &hash);
    }
    decoy_ = *settings.begin()->second;
    if (settings.size() == 1) {
        return {};
    }
    std::chrono::nanoseconds costliest{-1};
    for (const auto& [setting, hash] : settings) {
        if (const auto cost = CheckCost(*hash); cost > costliest) {
            costliest = cost;
            decoy_ = *hash;
        }
    }
    return "the passwords file mixes hash methods or costs; every unknown user is checked "
           "with the costliest (" +
           CostSetting(decoy_) + "), and users of cheaper ones are quicker to guess";
}

void Authenticator::ClearPasswords() {
    hashes_.clear();
    checksPasswords_ = false;
    decoy_ = kNoDecoy;
}

bool Authenticator::Check(const std::string& user, const std::string& password,
                          const IpAddress& peer, std::weak_ptr<void> alive,
                          std::function<void(bool, std::chrono::milliseconds)> done) {
    if (waiting_ >= kMostWaiting) {
        return false;
    }
    const auto it = hashes_.find(user);
    const bool known = it != hashes_.end();
    AddressQueue& queue = byAddress_[peer];
    queue.waiting.push_back(
        Pending{password, known ? it->second : decoy_, known, std::move(alive), std::move(done)});
    ++waiting_;
    TakeTurnIfDue(peer, queue);
    StartChecks();
    return true;
}

void Authenticator::TakeTurnIfDue(const IpAddress& peer, AddressQueue& queue) {
    if (!queue.inTurn && !queue.waiting.empty() && queue.running < kRunningPerAddress) {
        queue.inTurn = true;
        turns_.push_back(peer);
    }
}

void Authenticator::StartChecks() {
    while (running_ < workers_ && !turns_.empty()) {
        const IpAddress peer = turns_.front();
        turns_.pop_front();
        const auto it = byAddress_.find(peer);
        if (it == byAddress_.end()) {
            continue;
        }
        AddressQueue& queue = it->second;
        queue.inTurn = false;
        // Nobody is left to answer: the hash would be work for nothing.
        while (!queue.waiting.empty() && queue.waiting.front().alive.expired()) {
            queue.waiting.pop_front();
            --waiting_;
        }
        if (queue.waiting.empty()) {
            if (queue.running == 0) {
                byAddress_.erase(it);
            }
            continue;
        }
        Pending pending = std::move(queue.waiting.front());
        queue.waiting.pop_front();
        --waiting_;
        ++queue.running;
        ++running_;
        TakeTurnIfDue(peer, queue);  // to the back of the line: addresses take turns
        pool_.start([this, peer, pending = std::move(pending)]() mutable {
            // Hashed whatever the outcome, so every answer costs the same. A NUL would end the
            // password early for crypt: such a password never matches.
            const bool matches = platform::PasswordMatches(pending.password, pending.hash);
            const bool ok =
                matches && pending.known && pending.password.find('\0') == std::string::npos;
            QMetaObject::invokeMethod(
                this,
                [this, peer, ok, pending = std::move(pending)]() mutable {
                    Finished(peer, ok, std::move(pending));
                },
                Qt::QueuedConnection);
        });
    }
}

void Authenticator::Finished(const IpAddress& peer, bool ok, Pending pending) {
    --running_;
    ++completed_;
    if (const auto it = byAddress_.find(peer); it != byAddress_.end()) {
        AddressQueue& queue = it->second;
        --queue.running;
        if (queue.running == 0 && queue.waiting.empty()) {
            byAddress_.erase(it);
        } else {
            TakeTurnIfDue(peer, queue);
        }
    }
    StartChecks();
    std::chrono::milliseconds delay{0};
    if (ok) {
        penalty_.Succeeded(peer);
    } else {
        delay = penalty_.Failed(peer, FailurePenalty::Clock::now());
    }
    auto finish = [alive = std::move(pending.alive), done = std::move(pending.done), ok, delay] {
        if (!alive.expired()) {
            done(ok, delay);
        }
    };
    if (ok) {
        finish();
    } else {
        QTimer::singleShot(delay, this, std::move(finish));
    }
}
