#include "mail_service/pop3_interpreter.h"

#include "mail_service/authenticator.h"
#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/reply_lines.h"
#include "mail_service/sasl.h"
#include "mail_service/service_events.h"
#include "mail_service/text_number.h"
#include "mail_service/unique_id.h"
#include "socket_layer/blanks.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// Every reply text, once.
constexpr std::string_view kGreeting = "+OK Drennik here";
constexpr std::string_view kOk = "+OK";
constexpr std::string_view kOkBlank = "+OK ";  // RETR's status line and QUIT's reply
// A failed login's reply codes (RFC 3206): [AUTH] the credentials, [SYS/TEMP] the server.
constexpr std::string_view kLoginFailed = "-ERR [AUTH] invalid user name or password";
constexpr std::string_view kMaildropUnreadable =
    "-ERR [SYS/TEMP] the maildrop cannot be read; try again later";
constexpr std::string_view kNoSuchMessage = "-ERR no such message";
constexpr std::string_view kMessageUnavailable = "-ERR message unavailable";
constexpr std::string_view kNotAllRemoved = "-ERR some deleted messages not removed";
constexpr std::string_view kLineTooLong = "-ERR line too long";
constexpr std::string_view kTooManyConnections = "-ERR too many connections";
constexpr std::string_view kTopNeedsLines = "-ERR TOP needs a message number and a line count";
constexpr std::string_view kTopNegative = "-ERR the line count must not be negative";
constexpr std::string_view kTlsRequired = "-ERR TLS required";
constexpr std::string_view kTlsAlready = "-ERR already encrypted";
constexpr std::string_view kTlsTooLate = "-ERR STLS only before USER and PASS";
constexpr std::string_view kMaildropInUse = "-ERR [IN-USE] maildrop in use by another session";
constexpr std::string_view kChecksBusy = "-ERR [SYS/TEMP] too many logins waiting; try again later";
constexpr std::string_view kAuthCancelled = "-ERR authentication cancelled";
constexpr std::string_view kAuthBadResponse = "-ERR bad authentication response";
constexpr std::string_view kAuthUnknownMechanism = "-ERR unknown authentication mechanism";
constexpr std::string_view kAuthWrongIdentity =
    "-ERR [AUTH] the authorization identity must be empty or the user";
// Continuation prompts: PLAIN's is empty; LOGIN asks "Username:" then "Password:" in base64.
constexpr std::string_view kSaslPrompt = "+ ";
constexpr std::string_view kLoginUserPrompt = "+ VXNlcm5hbWU6";
constexpr std::string_view kLoginPasswordPrompt = "+ UGFzc3dvcmQ6";
constexpr std::string_view kMaskedPassword = " ****";
constexpr std::string_view kMaskedLine = "****";
constexpr std::string_view kCapabilitiesBeforeUser[] = {"TOP"};
constexpr std::string_view kCapabilitiesAfterUser[] = {"UIDL", "PIPELINING", "RESP-CODES",
                                                       "AUTH-RESP-CODE", "IMPLEMENTATION Drennik"};
constexpr std::string_view kCapabilityUser = "USER";
constexpr std::string_view kCapabilitySasl = "SASL PLAIN LOGIN";
constexpr std::string_view kCapabilityStls = "STLS";
// How a login was made, as the log names it; PLAIN and LOGIN are also the AUTH mechanisms.
constexpr std::string_view kMethodUser = "USER";
constexpr std::string_view kMethodPlain = "PLAIN";
constexpr std::string_view kMethodLogin = "LOGIN";

bool ChecksPasswords(const Pop3Session& s) {
    return s.auth != nullptr && s.auth->ChecksPasswords();
}

// Whether a login may be tried on this connection: not in clear where TLS is required.
bool LoginAllowed(const Pop3Session& s) {
    return s.auth == nullptr || !s.auth->RequiresTls() || s.out.Encrypted();
}

// A login on a connection in clear, where TLS is required: refused, nothing stored.
bool RefusedInClear(Pop3Session& s, std::string_view method) {
    if (!LoginAllowed(s)) {
        LogLoginRefused(s.log, s.slot, method, "tls-required");
        SendReplyLine(s.out, kTlsRequired);
        return true;
    }
    return false;
}

// Why a login failed, as the log says it: what is wrong with the name comes first, then
// `passwordFailure`.
std::string_view LoginFailure(const ConnectionSlot& slot, std::string_view passwordFailure) {
    if (slot.userTooLong) {
        return "name-too-long";
    }
    if (slot.user.empty()) {
        return "no-user";
    }
    if (!IsPlainFolderName(slot.user)) {
        return "invalid-name";
    }
    return passwordFailure;
}

// Whether a scan error means a folder that is there and may be readable later (no access,
// out of descriptors, an I/O error), rather than no folder in the name's place (a file, or a
// link, which is never followed), which is served as an empty maildrop.
bool TemporarilyUnreadable(int error) {
    return error != 0 && error != ENOTDIR && error != ELOOP;
}

// With locking on, takes the user's maildrop for the session (keeping the one it has if that is
// the same); false, answered, when it cannot be had.
bool HoldMaildrop(Pop3Session& s, std::string_view method) {
    if (s.locks == nullptr || !s.locks->Enabled() || s.hold == nullptr ||
        (*s.hold && (*s.hold)->User() == s.slot.user)) {
        return true;
    }
    std::unique_ptr<MaildropLocks::Hold> next;
    switch (s.locks->Take(s.store, s.slot.user, next)) {
        case MaildropLocks::Outcome::Held:
            *s.hold = std::move(next);
            return true;
        case MaildropLocks::Outcome::InUse:
            LogLoginRefused(s.log, s.slot, method, "maildrop-in-use");
            SendReplyLine(s.out, kMaildropInUse);
            return false;
        case MaildropLocks::Outcome::Failed:
            break;
    }
    LogLoginRefused(s.log, s.slot, method, "maildrop-lock-failed");
    SendReplyLine(s.out, kMaildropUnreadable);
    return false;
}

bool LogIn(Pop3Session& s, std::string_view method) {
    if (!HoldMaildrop(s, method)) {
        return true;
    }
    const int unreadable = ScanMaildrop(s.slot, s.store);
    if (unreadable != 0) {
        LogMaildropError(s.log, s.slot, "scan", {}, unreadable);
    }
    // No session on a folder that may be readable later, rather than one that shows it empty.
    if (TemporarilyUnreadable(unreadable)) {
        if (s.hold != nullptr) {
            s.hold->reset();
        }
        s.slot.ClearSnapshot();
        s.slot.totalCount = -1;
        s.slot.totalSize = -1;
        if (s.slot.state == SessionState::Transaction) {
            s.slot.state = SessionState::Authorisation;
        }
        return SendReplyLine(s.out, kMaildropUnreadable);
    }
    const bool sent = SendReplyLine(s.out, kOk);
    s.slot.state = SessionState::Transaction;
    s.slot.loggedOut = false;
    LogLogin(s.log, s.slot, method, s.out.Encrypted());
    return sent;
}

// A login answered once its password check is done.
class PendingLogin final : public ReplyStream {
public:
    PendingLogin(Pop3Session& s, std::string_view password, std::string_view method)
        : slot_(s.slot),
          store_(s.store),
          log_(s.log),
          locks_(s.locks),
          hold_(s.hold),
          method_(method),
          known_(s.auth->Knows(s.slot.user)),
          result_(std::make_shared<Result>()) {
        std::weak_ptr<Result> result = result_;
        accepted_ = s.auth->Check(s.slot.user, std::string(password), s.out.PeerAddress(), result,
                                  [result, resume = s.resume](bool ok, auto waited) {
                                      if (const auto r = result.lock()) {
                                          r->done = true;
                                          r->ok = ok;
                                          r->waited = waited;
                                          resume();
                                      }
                                  });
    }

    // False when the check could not even be queued: answer that at once instead.
    bool Accepted() const { return accepted_; }

    Step Pump(Pop3Channel& out, std::size_t) override {
        if (!result_->done) {
            return Step::Waiting;
        }
        // A name that is no plain folder name never logs in, whatever the file says.
        bool sent;
        if (result_->ok && !slot_.userTooLong && IsPlainFolderName(slot_.user)) {
            std::unique_ptr<ReplyStream> none;
            Pop3Session session{slot_, out, store_, none, nullptr, {}, {}, log_, locks_, hold_};
            sent = LogIn(session, method_);
        } else {
            LogLoginFailed(log_, slot_, method_, out.Encrypted(),
                           LoginFailure(slot_, known_ ? "wrong-password" : "unknown-user"),
                           result_->waited);
            sent = SendReplyLine(out, kLoginFailed);
        }
        return sent ? Step::Done : Step::Failed;
    }

private:
    struct Result {
        bool done = false;
        bool ok = false;
        std::chrono::milliseconds waited{0};
    };
    ConnectionSlot& slot_;
    const MaildropStore& store_;
    ServiceLog* log_;
    MaildropLocks* locks_;
    std::unique_ptr<MaildropLocks::Hold>* hold_;
    std::string_view method_;
    bool known_;  // the user has a line in the passwords file
    std::shared_ptr<Result> result_;
    bool accepted_ = false;
};

void SetUser(ConnectionSlot& slot, std::string_view name) {
    slot.userTooLong = name.size() > kLongestUserName;
    slot.user.assign(name.substr(0, kLongestUserName));
}

// Checks `password` for the slot's user and answers: at once, or once the check is done.
void CheckPassword(Pop3Session& s, std::string_view password, std::string_view method) {
    if (ChecksPasswords(s)) {
        auto login = std::make_unique<PendingLogin>(s, password, method);
        if (!login->Accepted()) {
            LogLoginRefused(s.log, s.slot, method, "checks-busy");
            SendReplyLine(s.out, kChecksBusy);
            return;
        }
        s.stream = std::move(login);
        return;
    }
    // The password is the user name; a name that is no plain folder name never logs in, so
    // no login can reach outside the maildrop root.
    if (s.slot.userTooLong || password != s.slot.user || !IsPlainFolderName(s.slot.user)) {
        LogLoginFailed(s.log, s.slot, method, s.out.Encrypted(),
                       LoginFailure(s.slot, "wrong-password"));
        SendReplyLine(s.out, kLoginFailed);
        return;
    }
    LogIn(s, method);
}

// A USER, PASS or AUTH refused in clear has not begun a login: STLS may still follow it.
void User(Pop3Session& s, std::string_view argument) {
    if (RefusedInClear(s, kMethodUser)) {
        return;
    }
    s.slot.authenticationBegun = true;
    SetUser(s.slot, argument);
    SendReplyLine(s.out, kOk);
}

void Pass(Pop3Session& s, std::string_view argument) {
    if (RefusedInClear(s, kMethodUser)) {
        return;
    }
    s.slot.authenticationBegun = true;
    // With real passwords one is taken exactly as sent, blanks and all.
    CheckPassword(s, ChecksPasswords(s) ? s.exactArgument : argument, kMethodUser);
}

// Asks for the next response of an AUTH exchange. Where passwords are real the response is a
// secret, and the trace shows it masked.
void Prompt(Pop3Session& s, SaslStep next, std::string_view prompt) {
    s.slot.saslStep = next;
    if (SendReplyLine(s.out, prompt) && ChecksPasswords(s)) {
        s.out.HideNextLine();
    }
}

// One client response of an AUTH exchange, from the AUTH line or a line of its own.
void AnswerSasl(Pop3Session& s, SaslStep step, std::string_view response) {
    if (response == "*") {
        s.slot.saslUser.clear();
        SendReplyLine(s.out, kAuthCancelled);
        return;
    }
    const std::optional<std::string> decoded =
        response.size() <= kLongestSaslResponse ? DecodeBase64(response) : std::nullopt;
    if (!decoded || decoded->empty()) {
        s.slot.saslUser.clear();
        SendReplyLine(s.out, kAuthBadResponse);
        return;
    }
    switch (step) {
        case SaslStep::PlainResponse: {
            const std::optional<PlainCredentials> plain = ReadPlainMessage(*decoded);
            if (!plain) {
                SendReplyLine(s.out, kAuthBadResponse);
            } else if (!plain->authorizationId.empty() && plain->authorizationId != plain->user) {
                SendReplyLine(s.out, kAuthWrongIdentity);
            } else {
                SetUser(s.slot, plain->user);
                CheckPassword(s, plain->password, kMethodPlain);
            }
            return;
        }
        case SaslStep::LoginUser:
            s.slot.saslUser = *decoded;
            Prompt(s, SaslStep::LoginPassword, kLoginPasswordPrompt);
            return;
        case SaslStep::LoginPassword:
            SetUser(s.slot, s.slot.saslUser);
            s.slot.saslUser.clear();
            CheckPassword(s, *decoded, kMethodLogin);
            return;
        case SaslStep::None:
            return;
    }
}

// AUTH mechanism [initial-response]; without a mechanism, the list of them.
void Auth(Pop3Session& s, std::string_view argument) {
    if (argument.empty()) {
        if (SendReplyLine(s.out, kOk)) {
            ReplyLines lines;
            lines.Add(kMethodPlain);
            lines.Add(kMethodLogin);
            lines.End(s.out);
        }
        return;
    }
    const std::size_t blank = argument.find(' ');
    std::string mechanism(argument.substr(0, blank));
    std::transform(mechanism.begin(), mechanism.end(), mechanism.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    const bool plain = mechanism == kMethodPlain;
    if (!plain && mechanism != kMethodLogin) {
        SendReplyLine(s.out, kAuthUnknownMechanism);
        return;
    }
    if (RefusedInClear(s, plain ? kMethodPlain : kMethodLogin)) {
        return;
    }
    s.slot.authenticationBegun = true;
    const SaslStep first = plain ? SaslStep::PlainResponse : SaslStep::LoginUser;
    if (blank == std::string_view::npos) {
        Prompt(s, first, plain ? kSaslPrompt : kLoginUserPrompt);
        return;
    }
    AnswerSasl(s, first, TrimBlanks(argument.substr(blank)));
}

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
    std::transform(word.begin(), word.end(), word.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
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
