#pragma once
// The POP3 command interpreter: one request line in, its reply out, on one connection's record.
// Every reply text stands once, in pop3_replies.h; logging in is in pop3_login.*. Every reply
// leaves through the reply family (reply_lines.h). A multi-line reply's status line is sent
// here, and the rest by the stream it leaves in the session, which is not left when the status
// line could not be sent.

#include "mail_service/connection_slot.h"
#include "mail_service/maildrop.h"
#include "mail_service/maildrop_locks.h"
#include "mail_service/pop3_channel.h"
#include "mail_service/reply_stream.h"

#include <functional>
#include <memory>
#include <string_view>

class Authenticator;
class ServiceLog;

struct Pop3Session {
    ConnectionSlot& slot;
    Pop3Channel& out;
    const MaildropStore& store;
    // Set by a reply that comes later: the rest of a multi-line reply, sent as the connection
    // drains, or an answer that waits for a password check.
    std::unique_ptr<ReplyStream>& stream;
    // Passwords and the TLS rule; none: the password is the user name.
    Authenticator* auth = nullptr;
    // Arranges one more turn of the conversation from the event loop.
    std::function<void()> resume;
    // The request's argument exactly as sent: everything after the one blank that follows the
    // command word. A password is taken as it is, blanks and all.
    std::string_view exactArgument = {};
    // Where logins, logouts and maildrop errors are told; none: nowhere.
    ServiceLog* log = nullptr;
    // With maildrop locking on, the locks, and the session's hold on its maildrop.
    MaildropLocks* locks = nullptr;
    std::unique_ptr<MaildropLocks::Hold>* hold = nullptr;
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

// Where passwords are real, a PASS line is kept and shown with its argument as "****", and an
// AUTH line with what follows its mechanism so. True, with `shown` set to what may be shown,
// for such a line. (The response lines of an AUTH exchange are hidden whole, by the channel.)
bool MaskPassword(std::string_view line, std::string& shown);

// The greeting a new connection receives.
void Greet(Pop3Channel& out);
// Carries out one request line.
void Interpret(Pop3Session& session, std::string_view received);
// The answer to a request line over the length limit, after which nothing more is read.
void AnswerLineTooLong(Pop3Channel& out);
// The one line a connection over a connection limit receives before it is closed.
std::string_view TooManyConnectionsLine();
