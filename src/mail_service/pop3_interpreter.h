#pragma once
// The POP3 command interpreter: one request line in, its reply out, on one connection's record.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/message_stream.h"
#include "mail_service/pop3_channel.h"

#include <memory>
#include <string_view>

struct Pop3Session {
    ConnectionSlot& slot;
    Pop3Channel& out;
    const MaildropStore& store;
    // Set by RETR: the rest of its reply, sent as the connection drains.
    std::unique_ptr<MessageStream>& stream;
};

// A request line split as the server reads it: trimmed of blanks; the command word is its
// first four bytes upper-cased (ASCII) then trimmed; the argument starts at the sixth byte.
struct Pop3Request {
    std::string_view line;
    std::string word;
    std::string_view argument;
};
Pop3Request ParseRequest(std::string_view received);

// Carries out one request line.
void Interpret(Pop3Session& session, std::string_view received);
