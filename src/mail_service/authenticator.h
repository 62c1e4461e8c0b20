#pragma once
// Who may log in. Without a passwords file the password is the user name. With one, PASS is
// checked against the user's crypt(3) hash on a small pool of workers of its own, so the event
// loop never waits for the deliberately slow hash; a failed check is answered a second later,
// which slows guessing without holding up anyone else.
//
// Hashing is the one thing a client can make the server spend real time on, so it is rationed:
// a few checks run at once from one client address, a fixed number in all, the rest wait their
// turn address by address, and a check whose connection has gone is dropped before it runs.

#include "mail_service/failure_penalty.h"

#include <QObject>
#include <QThreadPool>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class Authenticator : public QObject {
    Q_OBJECT
public:
    using PasswordTable = std::unordered_map<std::string, std::string>;

    // Checks that may run at once for one client address.
    static constexpr std::size_t kRunningPerAddress = 2;
    // Checks that may wait, from all addresses together; past that PASS is refused at once.
    static constexpr std::size_t kMostWaiting = 1000;

    explicit Authenticator(QObject* parent = nullptr);
    // Waits only for the checks already running (each one hash); waiting ones are dropped.
    ~Authenticator() override;

    // Reads "user:hash" lines; "#" comments and blank lines are allowed. The file must be a
    // regular file with at least one entry. Nullopt with `error` saying why (naming the line of
    // a bad one) otherwise.
    static std::optional<PasswordTable> ReadPasswordFile(const std::string& path,
                                                         std::string& error);

    // From now on PASS is checked against `hashes` (one entry at least). Unknown users are
    // checked against the costliest hash in the table, so they take as long as the slowest
    // known user. Returns a warning for the operator, empty when there is none.
    std::string SetPasswords(PasswordTable hashes);
    // From now on the password is the user name again. Checks already queued keep their hash.
    void ClearPasswords();
    bool ChecksPasswords() const { return checksPasswords_; }
    // Whether `user` has an entry (for the log: a wrong password or an unknown user).
    bool Knows(const std::string& user) const { return hashes_.count(user) != 0; }
    // The hash unknown users are checked against.
    const std::string& DecoyHash() const { return decoy_; }
    // USER and PASS only on encrypted connections.
    void SetRequireTls(bool require) { requireTls_ = require; }
    bool RequiresTls() const { return requireTls_; }
    // Client addresses whose failed logins always wait the base delay.
    void SetTrustedNetworks(std::vector<IpNetwork> trusted) {
        penalty_.SetTrusted(std::move(trusted));
    }
    const FailurePenalty& Penalty() const { return penalty_; }

    // Checks `password` for `user`, from client address `peer`, off the loop's thread; `done`
    // runs on the loop's thread with the result and how long it was held back: a failure waits
    // the address's failure penalty (failure_penalty.h), a success nothing. `done` is
    // dropped, and the check too if it has not begun, once `alive` has expired. False, with
    // nothing queued, when too many checks wait already.
    bool Check(const std::string& user, const std::string& password, const IpAddress& peer,
               std::weak_ptr<void> alive,
               std::function<void(bool, std::chrono::milliseconds)> done);

    // Checks running now, waiting to run, and run since the start.
    std::size_t Running() const { return running_; }
    std::size_t Waiting() const { return waiting_; }
    std::uint64_t Completed() const { return completed_; }

private:
    struct Pending {
        std::string password;
        std::string hash;
        bool known = false;
        std::weak_ptr<void> alive;
        std::function<void(bool, std::chrono::milliseconds)> done;
    };
    struct AddressQueue {
        std::deque<Pending> waiting;
        std::size_t running = 0;
        bool inTurn = false;  // listed in turns_
    };

    void StartChecks();
    void Finished(const IpAddress& peer, bool ok, Pending pending);
    void TakeTurnIfDue(const IpAddress& peer, AddressQueue& queue);

    PasswordTable hashes_;
    std::string decoy_;
    bool checksPasswords_ = false;
    bool requireTls_ = false;
    FailurePenalty penalty_;

    std::unordered_map<IpAddress, AddressQueue, platform::IpAddressHash> byAddress_;
    std::deque<IpAddress> turns_;  // addresses with a check that may start, in turn
    std::size_t running_ = 0;
    std::size_t waiting_ = 0;
    std::uint64_t completed_ = 0;
    std::size_t workers_;
    QThreadPool pool_;  // declared last: destroyed first, while the rest still stands
};
