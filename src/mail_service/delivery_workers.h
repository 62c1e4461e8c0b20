#pragma once
// The disk work of delivery, off the event loop: checking a recipient and storing a message
// run on workers of their own, and their results come back to the loop's thread as events,
// as password checks do. A storing worker waits for its message's chunks while its client
// sends them, so a delivery holds one worker from DATA to its end; past kStoring at once, the
// next ones wait their turn (and their feeds fill, so their clients wait too).

#include "mail_service/delivery.h"
#include "mail_service/delivery_feed.h"

#include <QObject>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class DeliveryWorkers : public QObject {
    Q_OBJECT
public:
    static constexpr int kStoring = 64;
    static constexpr int kChecking = 2;

    // `store` must outlive the workers.
    explicit DeliveryWorkers(const MaildropStore& store, QObject* parent = nullptr);
    // Cancels the deliveries still running and waits for them (each ends at once).
    ~DeliveryWorkers() override;

    void SetRules(DeliveryRules rules) { rules_ = std::move(rules); }
    const DeliveryRules& Rules() const { return rules_; }

    // Whether mail for `user` can be taken; `done` runs on the loop's thread with the outcome
    // and an errno value, unless `alive` has expired by then.
    void Check(const std::string& user, std::weak_ptr<void> alive,
               std::function<void(DeliveryOutcome, int)> done);

    // Stores the message the returned feed is given for `users`. `room` runs on the loop's
    // thread when the feed, found full, has room again; `done` with the report once the
    // delivery is over (which may be before the feed ends: an unknown user, a full disk).
    // Neither runs once `alive` has expired.
    std::shared_ptr<DeliveryFeed> Store(std::vector<std::string> users, std::weak_ptr<void> alive,
                                        std::function<void()> room,
                                        std::function<void(DeliveryReport)> done);

private:
    // The maildrop root, looked at here on the loop (which opens it if it could not be opened
    // before), and 0 while it is open, else why not (an errno value). Once open it never
    // changes, so the workers use it as it is, never the store's own state.
    const platform::StoreFolder& Root(int& error) const;

    const MaildropStore& store_;
    DeliveryRules rules_;
    std::vector<std::weak_ptr<DeliveryFeed>> feeds_;  // to cancel at the end
    // Declared last: destroyed first, while the rest still stands.
    QThreadPool checking_;
    QThreadPool storing_;
};
