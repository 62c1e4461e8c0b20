#include "mail_service/delivery_conversation.h"

#include "mail_service/delivery_replies.h"
#include "mail_service/maildrop.h"
#include "mail_service/service_events.h"
#include "socket_layer/flow_limits.h"

#include <algorithm>
#include <cerrno>

// A message: DATA, its lines as they arrive, and the answers once it is stored.

using namespace delivery_replies;

void DeliveryConversation::Data(std::string_view argument) {
    if (!argument.empty()) {
        Reply(kSyntax);
        return;
    }
    if (stage_ != Stage::Mail) {
        Reply(kBadSequence);
        return;
    }
    if (recipients_.empty()) {
        Reply(Smtp() ? kNoRecipientsSmtp : kNoRecipients);
        return;
    }
    std::vector<std::string> users;
    for (const Recipient& r : recipients_) {
        users.push_back(r.user);
    }
    feedAlive_ = std::make_shared<int>(0);
    feed_ = workers_.Store(
        std::move(users), feedAlive_, [this] { resumeLater_(); },
        [this](DeliveryReport report) {
            report_ = std::move(report);
            waiting_ = false;  // nothing else waits while a message arrives
            resumeLater_();
        });
    stage_ = Stage::Data;
    chunk_.clear();
    size_ = 0;
    tooBig_ = false;
    dataEnded_ = false;
    report_.reset();
    Reply(kStartData);
}

void DeliveryConversation::DataLine(std::string_view line) {
    if (line == ".") {
        EndOfData();
        return;
    }
    if (!line.empty() && line.front() == '.') {
        line.remove_prefix(1);  // the client doubled it
    }
    size_ += static_cast<std::int64_t>(line.size()) + 2;
    if (tooBig_) {
        return;  // read to the end, kept nowhere
    }
    if (size_ > workers_.Rules().maxMessageSize) {
        tooBig_ = true;
        chunk_.clear();
        DropMessage();
        return;
    }
    chunk_.append(line);
    chunk_.append("\r\n");
    if (chunk_.size() >= DeliveryFeed::kChunk && feed_) {
        feed_->Push(std::move(chunk_));
        chunk_.clear();
    }
}

void DeliveryConversation::EndOfData() {
    dataEnded_ = true;
    if (tooBig_) {
        DeliveryReport report;
        report.outcome = DeliveryOutcome::TooBig;
        report_ = std::move(report);
        return;  // answered by Serve, at once
    }
    feed_->Push(std::move(chunk_));
    chunk_.clear();
    feed_->End();
    if (!report_) {
        waiting_ = true;  // until the worker's report comes
    }
}

void DeliveryConversation::AnswerDelivery(const DeliveryReport& report) {
    // The report may come while the message still arrives (a folder gone, a full disk): it is
    // answered once the whole message has been read.
    waiting_ = false;
    LogDelivery(report);
    const auto delivered = [&](const std::string& user) {
        return std::find(report.deliveredUsers.begin(), report.deliveredUsers.end(), user) !=
               report.deliveredUsers.end();
    };
    const auto failure = [&](const std::string& user) -> std::string_view {
        switch (report.outcome) {
            case DeliveryOutcome::Delivered:
                return kDelivered;
            case DeliveryOutcome::TooBig:
                return kTooBig;
            case DeliveryOutcome::BadInput:
                return kEmptyMessage;
            case DeliveryOutcome::UnknownUser:
                return user == report.user ? kUnknownUser : kTryLater;
            case DeliveryOutcome::Failed:
                break;
        }
        return report.error == ENOSPC || report.error == EDQUOT ? kNoSpace : kTryLater;
    };
    if (report.outcome == DeliveryOutcome::Delivered) {
        ++slot_.totalCount;
        slot_.totalSize += size_;
    }
    if (Smtp()) {
        // One answer for all: stored for everyone, or why not (a retry then stores again
        // for those that had it, which is better than losing it for the others).
        bool all = true;
        for (const Recipient& r : recipients_) {
            all &= delivered(r.user);
        }
        if (all) {
            Reply(kDelivered);
        } else {
            const std::string_view reply = failure({});
            Reply(reply == kUnknownUser || reply == kDelivered ? kTryLater : reply);
        }
    } else {
        for (const Recipient& r : recipients_) {
            Reply(delivered(r.user) ? kDelivered : failure(r.user));
        }
    }
    ResetTransaction();
}

void DeliveryConversation::LogDelivery(const DeliveryReport& report) {
    if (report.outcome == DeliveryOutcome::Delivered) {
        for (std::size_t i = 0; i < report.stored.size(); ++i) {
            LogDelivered(log_, slot_, report.stored[i], size_);
        }
        return;
    }
    std::string_view reason = "failed";
    switch (report.outcome) {
        case DeliveryOutcome::TooBig:
            reason = "too-big";
            break;
        case DeliveryOutcome::BadInput:
            reason = "empty";
            break;
        case DeliveryOutcome::UnknownUser:
            reason = "unknown-user";
            break;
        default:
            break;
    }
    LogDeliveryRefused(log_, slot_, report.user, size_, reason, report.error);
}
