#include "mail_service/pop3_interpreter.h"

#include "mail_service/ascii_case.h"
#include "mail_service/authenticator.h"
#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/pop3_login.h"
#include "mail_service/pop3_replies.h"
#include "mail_service/reply_lines.h"
#include "mail_service/service_events.h"
#include "mail_service/text_number.h"
#include "mail_service/unique_id.h"
#include "socket_layer/blanks.h"

#include <algorithm>
#include <utility>

using namespace pop3;

namespace {

void Stat(Pop3Session& s, std::string_view) {
    std::string reply(kOkBlank);
    AppendShownNumber(reply, s.slot.totalCount);
    reply += ' ';
    AppendShownNumber(reply, s.slot.totalSize);
    SendReplyLine(s.out, reply);
}

// LIST n and UIDL n: "+OK n value" for the message the argument names.
template <typename Value>
void AnswerOneEntry(Pop3Session& s, std::string_view argument, Value value) {
    const std::optional<std::size_t> entry = MessageEntry(s.slot, argument);
    if (!entry) {
        SendReplyLine(s.out, kNoSuchMessage);
        return;
    }
    std::string reply(kOkBlank);
    reply += std::to_string(*entry + 1);
    reply += ' ';
    reply += value(s.slot.Message(*entry));
    SendReplyLine(s.out, reply);
}

void List(Pop3Session& s, std::string_view argument) {
    if (argument.empty()) {
        std::string reply(kOkBlank);
        AppendShownNumber(reply, s.slot.totalCount);
        reply += " Messages";
        if (SendReplyLine(s.out, reply)) {
            s.stream = ListMessages(s.slot);
        }
        return;
    }
    AnswerOneEntry(s, argument, [](const platform::MessageFileEntry& message) {
        return std::to_string(message.size);
    });
}

void Retr(Pop3Session& s, std::string_view argument) {
    const std::optional<std::size_t> entry = MessageEntry(s.slot, argument);
    if (!entry) {
        SendReplyLine(s.out, kNoSuchMessage);
        return;
    }
    std::unique_ptr<MessageStream> message = OpenMessage(s.slot, *entry, s.store);
    if (!message) {
        SendReplyLine(s.out, kMessageUnavailable);
        return;
    }
    if (SendReplyLine(s.out, kOkBlank)) {
        s.stream = std::move(message);
        ++s.slot.retrieved;
        s.slot.retrievedBytes += s.slot.Message(*entry).size;
    }
}

void Dele(Pop3Session& s, std::string_view argument) {
    const std::optional<std::size_t> entry =
        MessageEntry(s.slot, argument, NumberRule::SubtractOneThenRound);
    if (!entry) {
        SendReplyLine(s.out, kNoSuchMessage);
        return;
    }
    s.slot.SetMark(*entry, 'D');
    SendReplyLine(s.out, kOk);
}

void Uidl(Pop3Session& s, std::string_view argument) {
    if (argument.empty()) {
        if (SendReplyLine(s.out, kOk)) {
            s.stream = ListUniqueIds(s.slot);
        }
        return;
    }
    AnswerOneEntry(s, argument, [](const platform::MessageFileEntry& message) {
        return UniqueId(message.name);
    });
}

void Top(Pop3Session& s, std::string_view argument) {
    const std::size_t blank = argument.find(' ');
    const std::string_view count =
        blank == std::string_view::npos ? std::string_view() : TrimBlanks(argument.substr(blank));
    const std::optional<std::size_t> entry = MessageEntry(s.slot, argument.substr(0, blank));
    if (!entry) {
        SendReplyLine(s.out, kNoSuchMessage);
        return;
    }
    if (count.empty() ||
        !(count.front() == '-' || (count.front() >= '0' && count.front() <= '9'))) {
        SendReplyLine(s.out, kTopNeedsLines);
        return;
    }
    const std::int64_t lines = ReadMessageNumber(count);
    if (lines < 0 || count.front() == '-') {
        SendReplyLine(s.out, kTopNegative);
        return;
    }
    std::unique_ptr<MessageStream> message = OpenMessage(s.slot, *entry, s.store);
    if (!message) {
        SendReplyLine(s.out, kMessageUnavailable);
        return;
    }
    message->LimitBody(lines);
    if (SendReplyLine(s.out, kOkBlank)) {
        s.stream = std::move(message);
    }
}

void Noop(Pop3Session& s, std::string_view) {
    SendReplyLine(s.out, kOk);
}

void Rset(Pop3Session& s, std::string_view) {
    for (std::size_t i = 0; i < s.slot.marks.size(); ++i) {
        if (s.slot.marks[i] != ' ') {
            s.slot.SetMark(i, ' ');
        }
    }
    SendReplyLine(s.out, kOk);
}

void Capa(Pop3Session& s, std::string_view) {
    if (!SendReplyLine(s.out, kOk)) {
        return;
    }
    ReplyLines lines;
    for (const std::string_view capability : kCapabilitiesBeforeUser) {
        lines.Add(capability);
    }
    // A client that needs TLS first is not offered a login it may not have.
    if (LoginAllowed(s)) {
        lines.Add(kCapabilityUser);
        lines.Add(kCapabilitySasl);
    }
    for (const std::string_view capability : kCapabilitiesAfterUser) {
        lines.Add(capability);
    }
    if (s.out.CanStartTls() && !s.out.Encrypted()) {
        lines.Add(kCapabilityStls);
    }
    lines.End(s.out);
}

void Stls(Pop3Session& s, std::string_view) {
    if (s.out.Encrypted()) {
        SendReplyLine(s.out, kTlsAlready);
        return;
    }
    if (s.slot.authenticationBegun) {
        SendReplyLine(s.out, kTlsTooLate);
        return;
    }
    SendReplyLine(s.out, kOk);
    s.out.StartTls();
}

void Quit(Pop3Session& s, std::string_view) {
    const bool loggedIn = s.slot.state == SessionState::Transaction;
    s.slot.state = SessionState::Update;
    const MarkedRemoval removal = RemoveMarkedMessages(s.slot, s.store);
    if (!removal.AllRemoved()) {
        LogMaildropError(s.log, s.slot, "delete", removal.firstFailed, removal.firstError,
                         removal.failed);
    }
    if (loggedIn) {
        LogLogout(s.log, s.slot, &removal);
    }
    if (s.hold != nullptr) {
        s.hold->reset();  // the session is over: another may have the maildrop
    }
    SendReplyLine(s.out, removal.AllRemoved() ? kOkBlank : kNotAllRemoved);
}

struct Command {
    std::string_view word;
    void (*handler)(Pop3Session&, std::string_view);
};

constexpr Command kCommands[] = {
    {"USER", User}, {"PASS", Pass}, {"STAT", Stat}, {"LIST", List}, {"RETR", Retr},
    {"DELE", Dele}, {"QUIT", Quit}, {"UIDL", Uidl}, {"TOP", Top},   {"NOOP", Noop},
    {"RSET", Rset}, {"CAPA", Capa}, {"STLS", Stls}, {"AUTH", Auth},
};

}  // namespace

Pop3Request ParseRequest(std::string_view received) {
    Pop3Request request;
    request.line = TrimBlanks(received);
    std::string word(request.line.substr(0, 4));
    std::transform(word.begin(), word.end(), word.begin(), [](char c) { return AsciiUpper(c); });
    request.word.assign(TrimBlanks(word));
    if (request.word.size() == 3) {
        request.argument = TrimBlanks(request.line.substr(3));  // TOP: a three-letter word
    } else if (request.line.size() > 5) {
        request.argument = TrimBlanks(request.line.substr(5));
    }
    return request;
}

bool MaskPassword(std::string_view line, std::string& shown) {
    const std::string_view trimmed = TrimBlanks(line);
    // The command word is the first four bytes, as the interpreter reads it.
    const Pop3Request request = ParseRequest(trimmed.substr(0, 4));
    if (request.word == "AUTH") {
        // The mechanism may be shown; an initial response after it may not.
        const std::string_view rest = TrimBlanks(trimmed.substr(4));
        const std::size_t blank = rest.find(' ');
        if (blank == std::string_view::npos) {
            return false;
        }
        shown.assign(trimmed.substr(0, 4));
        shown += ' ';
        shown += rest.substr(0, blank);
        shown += kMaskedPassword;
        return true;
    }
    if (request.word != "PASS" || trimmed.size() <= 4) {
        return false;
    }
    shown.assign(trimmed.substr(0, 4));
    shown += kMaskedPassword;
    return true;
}

namespace {

// The request line as the record keeps it: no secret, and no more than the window shows.
void KeepRequest(Pop3Session& s, std::string_view line) {
    const bool secrets = s.auth != nullptr && s.auth->ChecksPasswords();
    if (secrets && MaskPassword(line, s.slot.request)) {
        return;
    }
    if (line.size() <= kShownRequestLength) {
        s.slot.request.assign(line);
    } else {
        s.slot.request.assign(line.substr(0, kShownRequestLength - 3));
        s.slot.request += "...";
    }
}

}  // namespace

void Greet(Pop3Channel& out) {
    SendReplyLine(out, kGreeting);
}

void Interpret(Pop3Session& session, std::string_view received) {
    // A line awaited by an AUTH exchange is its response, whatever it looks like.
    if (session.slot.saslStep != SaslStep::None) {
        const SaslStep step = std::exchange(session.slot.saslStep, SaslStep::None);
        const std::string_view response = TrimBlanks(received);
        if (ChecksPasswords(session)) {
            session.slot.request.assign(kMaskedLine);
        } else {
            KeepRequest(session, response);
        }
        AnswerSasl(session, step, response);
        return;
    }
    const Pop3Request request = ParseRequest(received);
    // Everything after the one blank that follows the command word, trailing blanks included.
    const std::size_t start = received.find_first_not_of(' ');
    session.exactArgument = start == std::string_view::npos || received.size() <= start + 5
                                ? std::string_view()
                                : received.substr(start + 5);
    KeepRequest(session, request.line);
    for (const Command& command : kCommands) {
        // STLS is a command only where TLS could be had; elsewhere it is unknown as before.
        if (command.word == request.word &&
            (command.handler != Stls || session.out.CanStartTls())) {
            command.handler(session, request.argument);
            return;
        }
    }
    // The word is echoed, but never a line break of the client's: a reply is one line.
    std::string reply = "-ERR ";
    for (const char c : request.word) {
        reply += c == '\r' || c == '\n' ? '?' : c;
    }
    reply += " not supported";
    SendReplyLine(session.out, reply);
}

void AnswerLineTooLong(Pop3Channel& out) {
    SendReplyLine(out, kLineTooLong);
}

std::string_view TooManyConnectionsLine() {
    return kTooManyConnections;
}
