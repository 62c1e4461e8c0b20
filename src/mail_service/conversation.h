#pragma once
// Drives one connection's POP3 conversation: answers every complete request line as far as
// the output allows, streams a RETR reply while the connection drains, and ends the
// connection when its input has ended and every reply is out.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/message_stream.h"
#include "mail_service/pop3_channel.h"

#include <functional>
#include <memory>
#include <string>

class Conversation {
public:
    // Requests served in one go before other connections get their turn.
    static constexpr int kLinesPerTurn = 256;
    // Message bytes sent in one go, likewise.
    static constexpr std::size_t kStreamBytesPerTurn = 4 * 1024 * 1024;

    // `resumeLater` must arrange one more call of Serve from the event loop.
    Conversation(ConnectionSlot& slot, Pop3Channel& channel, const MaildropStore& store,
                 std::function<void()> resumeLater);

    // Called on arriving data, when the output has drained, and when resumed.
    void Serve();
    bool Streaming() const { return stream_ != nullptr; }

private:
    void EndInput();

    ConnectionSlot& slot_;
    Pop3Channel& channel_;
    const MaildropStore& store_;
    std::function<void()> resumeLater_;
    std::unique_ptr<MessageStream> stream_;
    std::string line_;
    bool serving_ = false;
    bool ended_ = false;
};
