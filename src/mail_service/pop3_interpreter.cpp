#include "mail_service/pop3_interpreter.h"

#include "mail_service/text_number.h"
#include "socket_layer/blanks.h"

#include <algorithm>

namespace {

void User(Pop3Session& s, std::string_view argument) {
    s.slot.user.assign(argument);
    s.out.SendLine("+OK");
}

void Pass(Pop3Session& s, std::string_view argument) {
    // The password is the user name; a name that is no plain folder name never logs in, so
    // no login can reach outside the maildrop root.
    if (argument != s.slot.user || !IsPlainFolderName(s.slot.user)) {
        s.out.SendLine("-ERR");
        return;
    }
    s.out.SendLine("+OK");
    s.slot.state = kStateTransaction;
    ScanMaildrop(s.slot, s.store);
}

void Stat(Pop3Session& s, std::string_view) {
    std::string reply = "+OK ";
    reply += s.slot.totalCount;
    reply += ' ';
    reply += s.slot.totalSize;
    s.out.SendLine(reply);
}

void List(Pop3Session& s, std::string_view argument) {
    if (argument.empty()) {
        SendMessageList(s.slot, s.out);
    } else {
        SendListEntry(s.slot, ReadMessageNumber(argument), s.out);
    }
}

void Retr(Pop3Session& s, std::string_view argument) {
    s.stream = RetrieveMessage(s.slot, ReadMessageNumber(argument), s.store, s.out);
}

void Dele(Pop3Session& s, std::string_view argument) {
    // The entry is the number less one, the subtraction made before rounding.
    const std::int64_t entry = RoundHalfEven(MinusOne(ReadNumber(argument)));
    if (entry < 0 || entry >= s.slot.MessageCount()) {
        s.out.SendLine("-ERR no such message");
        return;
    }
    s.slot.marks[static_cast<std::size_t>(entry)] = 'D';
    ++s.slot.listsRevision;
    s.out.SendLine("+OK");
}

void Quit(Pop3Session& s, std::string_view) {
    s.slot.state = kStateUpdate;
    DeleteMarkedMessages(s.slot, s.store, s.out);
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

void Interpret(Pop3Session& session, std::string_view received) {
    const Pop3Request request = ParseRequest(received);
    session.slot.request.assign(request.line);
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
    session.out.SendLine(reply);
}
