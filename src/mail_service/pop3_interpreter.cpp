#include "mail_service/pop3_interpreter.h"

#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "socket_layer/blanks.h"

#include <algorithm>

namespace {

// Every reply text, once.
constexpr std::string_view kGreeting = "+OK Drennik here";
constexpr std::string_view kOk = "+OK";
constexpr std::string_view kOkBlank = "+OK ";  // RETR's status line and QUIT's reply
constexpr std::string_view kErr = "-ERR";
constexpr std::string_view kNoSuchMessage = "-ERR no such message";
constexpr std::string_view kMessageUnavailable = "-ERR message unavailable";
constexpr std::string_view kNotAllRemoved = "-ERR some deleted messages not removed";
constexpr std::string_view kLineTooLong = "-ERR line too long";
constexpr std::string_view kTooManyConnections = "-ERR too many connections";

// The one way a reply line leaves the interpreter.
void Reply(Pop3Channel& out, std::string_view text) {
    out.SendLine(text);
}

void User(Pop3Session& s, std::string_view argument) {
    s.slot.userTooLong = argument.size() > kLongestUserName;
    s.slot.user.assign(argument.substr(0, kLongestUserName));
    Reply(s.out, kOk);
}

void Pass(Pop3Session& s, std::string_view argument) {
    // The password is the user name; a name that is no plain folder name never logs in, so
    // no login can reach outside the maildrop root.
    if (s.slot.userTooLong || argument != s.slot.user || !IsPlainFolderName(s.slot.user)) {
        Reply(s.out, kErr);
        return;
    }
    Reply(s.out, kOk);
    s.slot.state = kStateTransaction;
    ScanMaildrop(s.slot, s.store);
}

void Stat(Pop3Session& s, std::string_view) {
    std::string reply(kOkBlank);
    reply += s.slot.totalCount;
    reply += ' ';
    reply += s.slot.totalSize;
    Reply(s.out, reply);
}

void List(Pop3Session& s, std::string_view argument) {
    if (argument.empty()) {
        std::string reply(kOkBlank);
        reply += s.slot.totalCount;
        reply += " Messages";
        Reply(s.out, reply);
        s.stream = ListMessages(s.slot);
        return;
    }
    const std::optional<std::size_t> entry = MessageEntry(s.slot, argument);
    if (!entry) {
        Reply(s.out, kNoSuchMessage);
        return;
    }
    std::string reply(kOkBlank);
    reply += std::to_string(*entry + 1);
    reply += ' ';
    reply += std::to_string(s.slot.Message(*entry).size);
    Reply(s.out, reply);
}

void Retr(Pop3Session& s, std::string_view argument) {
    const std::optional<std::size_t> entry = MessageEntry(s.slot, argument);
    if (!entry) {
        Reply(s.out, kNoSuchMessage);
        return;
    }
    std::unique_ptr<MessageStream> message = OpenMessage(s.slot, *entry, s.store);
    if (!message) {
        Reply(s.out, kMessageUnavailable);
        return;
    }
    Reply(s.out, kOkBlank);
    s.stream = std::move(message);
}

void Dele(Pop3Session& s, std::string_view argument) {
    const std::optional<std::size_t> entry =
        MessageEntry(s.slot, argument, NumberRule::SubtractOneThenRound);
    if (!entry) {
        Reply(s.out, kNoSuchMessage);
        return;
    }
    s.slot.SetMark(*entry, 'D');
    Reply(s.out, kOk);
}

void Quit(Pop3Session& s, std::string_view) {
    s.slot.state = kStateUpdate;
    Reply(s.out, RemoveMarkedMessages(s.slot, s.store) ? kOkBlank : kNotAllRemoved);
}

struct Command {
    std::string_view word;
    void (*handler)(Pop3Session&, std::string_view);
};

constexpr Command kCommands[] = {
    {"USER", User}, {"PASS", Pass}, {"STAT", Stat}, {"LIST", List},
    {"RETR", Retr}, {"DELE", Dele}, {"QUIT", Quit},
};

}  // namespace

Pop3Request ParseRequest(std::string_view received) {
    Pop3Request request;
    request.line = TrimBlanks(received);
    std::string word(request.line.substr(0, 4));
    std::transform(word.begin(), word.end(), word.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    request.word.assign(TrimBlanks(word));
    if (request.line.size() > 5) {
        request.argument = TrimBlanks(request.line.substr(5));
    }
    return request;
}

void Greet(Pop3Channel& out) {
    Reply(out, kGreeting);
}

void Interpret(Pop3Session& session, std::string_view received) {
    const Pop3Request request = ParseRequest(received);
    if (request.line.size() <= kShownRequestLength) {
        session.slot.request.assign(request.line);
    } else {
        session.slot.request.assign(request.line.substr(0, kShownRequestLength - 3));
        session.slot.request += "...";
    }
    for (const Command& command : kCommands) {
        if (command.word == request.word) {
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
    Reply(session.out, reply);
}

void AnswerLineTooLong(Pop3Channel& out) {
    Reply(out, kLineTooLong);
}

std::string_view TooManyConnectionsLine() {
    return kTooManyConnections;
}
