#pragma once
// Drives one connection's POP3 conversation: answers every complete request line as far as
// the output allows, streams a multi-line reply while the connection drains, and ends the
// connection when its input has ended and every reply is out.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/maildrop_locks.h"
#include "mail_service/pop3_channel.h"
#include "mail_service/reply_stream.h"

class Authenticator;
class ServiceLog;

#include <functional>
#include <memory>
#include <string>

class Conversation {
public:
    // `resumeLater` must arrange one more call of Serve from the event loop.
    // `auth`, if given, checks passwords and the TLS rule; it must outlive the conversation.
    // `log`, if given, is told of logins, logouts and maildrop errors; the same.
    Conversation(ConnectionSlot& slot, Pop3Channel& channel, const MaildropStore& store,
                 std::function<void()> resumeLater, Authenticator* auth = nullptr,
                 ServiceLog* log = nullptr, MaildropLocks* locks = nullptr);

    // Serves what can be served now: called on arriving lines, when the output has drained,
    // and when resumed. Returns how many request lines it took.
    int Serve();
    bool Streaming() const { return stream_ != nullptr; }
    bool Ended() const { return ended_; }

private:
    void EndInput();

    ConnectionSlot& slot_;
    Pop3Channel& channel_;
    const MaildropStore& store_;
    std::function<void()> resumeLater_;
    Authenticator* auth_;
    ServiceLog* log_;
    MaildropLocks* locks_;
    // Declared before the stream, which may refer to it: destroyed after it.
    std::unique_ptr<MaildropLocks::Hold> hold_;
    std::unique_ptr<ReplyStream> stream_;
    std::string line_;
    bool ended_ = false;
};
