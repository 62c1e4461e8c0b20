#include "mail_service/delivery_workers.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>

DeliveryWorkers::DeliveryWorkers(const MaildropStore& store, QObject* parent)
    : QObject(parent), store_(store) {
    checking_.setMaxThreadCount(kChecking);
    storing_.setMaxThreadCount(kStoring);
}

DeliveryWorkers::~DeliveryWorkers() {
    checking_.clear();
    storing_.clear();
    for (const std::weak_ptr<DeliveryFeed>& weak : feeds_) {
        if (const auto feed = weak.lock()) {
            feed->Cancel();
        }
    }
    checking_.waitForDone();
    storing_.waitForDone();
}

const platform::StoreFolder& DeliveryWorkers::Root(int& error) const {
    const platform::StoreFolder& root = store_.RootFolder();
    error = root.IsOpen() ? 0 : (root.error() != 0 ? root.error() : ENOENT);
    return root;
}

void DeliveryWorkers::Check(const std::string& user, std::weak_ptr<void> alive,
                            std::function<void(DeliveryOutcome, int)> done) {
    int rootError = 0;
    const platform::StoreFolder* root = &Root(rootError);
    checking_.start([this, root, user, rules = rules_, alive = std::move(alive),
                     done = std::move(done), rootError]() mutable {
        if (alive.expired()) {
            return;
        }
        int error = rootError;
        const DeliveryOutcome outcome =
            rootError != 0 ? DeliveryOutcome::Failed : CheckRecipient(*root, user, rules, error);
        QMetaObject::invokeMethod(
            this,
            [alive = std::move(alive), done = std::move(done), outcome, error] {
                if (!alive.expired()) {
                    done(outcome, error);
                }
            },
            Qt::QueuedConnection);
    });
}

std::shared_ptr<DeliveryFeed> DeliveryWorkers::Store(std::vector<std::string> users,
                                                     std::weak_ptr<void> alive,
                                                     std::function<void()> room,
                                                     std::function<void(DeliveryReport)> done) {
    auto feed = std::make_shared<DeliveryFeed>([this, alive, room = std::move(room)] {
        QMetaObject::invokeMethod(
            this,
            [alive, room] {
                if (!alive.expired()) {
                    room();
                }
            },
            Qt::QueuedConnection);
    });
    std::erase_if(feeds_, [](const std::weak_ptr<DeliveryFeed>& weak) { return weak.expired(); });
    feeds_.push_back(feed);
    int rootError = 0;
    const platform::StoreFolder* root = &Root(rootError);
    storing_.start([this, root, feed, users = std::move(users), rules = rules_,
                    alive = std::move(alive), done = std::move(done), rootError]() mutable {
        DeliveryReport report;
        if (alive.expired()) {
            report.outcome = DeliveryOutcome::BadInput;
            report.error = ECANCELED;
        } else if (rootError != 0) {
            report.outcome = DeliveryOutcome::Failed;
            report.error = rootError;
        } else {
            report = DeliverMessage(*root, users, rules, [&feed](char* buffer, std::size_t n) {
                return feed->Read(buffer, n);
            });
        }
        feed->Finish();
        QMetaObject::invokeMethod(
            this,
            [alive = std::move(alive), done = std::move(done), report = std::move(report)] {
                if (!alive.expired()) {
                    done(report);
                }
            },
            Qt::QueuedConnection);
    });
    return feed;
}
