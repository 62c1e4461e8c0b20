#include "mail_service/authenticator.h"

#include "platform/password_hash.h"

#include <QThreadPool>
#include <QTimer>

#include <fstream>

namespace {

// A yescrypt hash of nothing anyone would type, for users the file does not know.
constexpr char kDecoyHash[] =
    "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$FsDrHcG.pJqGLPCJuDq.t5zzEjp8iakYM8TVWZgxVH0";

}  // namespace

Authenticator::Authenticator(QObject* parent) : QObject(parent), decoy_(kDecoyHash) {}

Authenticator::~Authenticator() {
    // A check still running must not report to an authenticator that is gone.
    QThreadPool::globalInstance()->waitForDone();
}

std::optional<std::unordered_map<std::string, std::string>> Authenticator::ReadPasswordFile(
    const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the passwords file " + path;
        return std::nullopt;
    }
    std::unordered_map<std::string, std::string> hashes;
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
    return hashes;
}

void Authenticator::SetPasswords(std::unordered_map<std::string, std::string> hashes) {
    hashes_ = std::move(hashes);
    if (!hashes_.empty()) {
        decoy_ = hashes_.begin()->second;  // the same method and cost as a real check
    }
}

void Authenticator::Check(const std::string& user, const std::string& password,
                          std::weak_ptr<void> alive, std::function<void(bool)> done) {
    const auto it = hashes_.find(user);
    const bool known = it != hashes_.end();
    const std::string hash = known ? it->second : decoy_;
    QThreadPool::globalInstance()->start(
        [this, password, hash, known, alive = std::move(alive), done = std::move(done)]() mutable {
            const bool ok = platform::PasswordMatches(password, hash) && known;
            // Back to the loop's thread; `this` lives as long as the loop serves connections.
            QMetaObject::invokeMethod(
                this,
                [this, ok, alive = std::move(alive), done = std::move(done)] {
                    auto finish = [ok, alive, done] {
                        if (!alive.expired()) {
                            done(ok);
                        }
                    };
                    if (ok) {
                        finish();
                    } else {
                        QTimer::singleShot(kFailureDelay, this, finish);
                    }
                },
                Qt::QueuedConnection);
        });
}
