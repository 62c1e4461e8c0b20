#pragma once
// The POP3 command interpreter: one request line in, its reply out, on one connection's record.
// Every reply line the server sends is built here and leaves through one helper.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/pop3_channel.h"
#include "mail_service/reply_stream.h"

#include <memory>
#include <string_view>

struct Pop3Session {
    ConnectionSlot& slot;
    Pop3Channel& out;
    const MaildropStore& store;
    // Set by a multi-line reply: the rest of it, sent as the connection drains.
    std::unique_ptr<ReplyStream>& stream;
};

// A request line split as the server reads it: trimmed of blanks; the command word is its
// first four bytes upper-cased (ASCII) then trimmed; the argument starts at the sixth byte, or
// after a three-letter word (TOP).
struct Pop3Request {
    std::string_view line;
    std::string word;
    std::string_view argument;
};
Pop3Request ParseRequest(std::string_view received);

// The greeting a new connection receives.
void Greet(Pop3Channel& out);
// Carries out one request line.
void Interpret(Pop3Session& session, std::string_view received);
// The answer to a request line over the length limit, after which nothing more is read.
void AnswerLineTooLong(Pop3Channel& out);
// The one line a connection over a connection limit receives before it is closed.
std::string_view TooManyConnectionsLine();
