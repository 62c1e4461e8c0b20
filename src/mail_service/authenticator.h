#pragma once
// Who may log in. Without a passwords file the password is the user name. With one, PASS is
// checked against the user's crypt(3) hash on a worker thread, so the event loop never waits for
// the deliberately slow hash; a failed check is answered a second later, which slows guessing
// without holding up anyone else.

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

class Authenticator : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kFailureDelay{1000};

    explicit Authenticator(QObject* parent = nullptr);
    ~Authenticator() override;

    // Reads "user:hash" lines; "#" comments and blank lines are allowed. Nullopt with `error`
    // naming the line for anything else.
    static std::optional<std::unordered_map<std::string, std::string>> ReadPasswordFile(
        const std::string& path, std::string& error);

    void SetPasswords(std::unordered_map<std::string, std::string> hashes);
    bool HasPasswords() const { return !hashes_.empty(); }
    // USER and PASS only on encrypted connections.
    void SetRequireTls(bool require) { requireTls_ = require; }
    bool RequiresTls() const { return requireTls_; }

    // Checks `password` for `user` off the loop's thread; `done` runs on the loop's thread with
    // the result, a failure only after kFailureDelay. `done` is dropped if `alive` has expired.
    void Check(const std::string& user, const std::string& password, std::weak_ptr<void> alive,
               std::function<void(bool)> done);

private:
    std::unordered_map<std::string, std::string> hashes_;
    std::string decoy_;  // checked for unknown users, so they take as long as known ones
    bool requireTls_ = false;
};
