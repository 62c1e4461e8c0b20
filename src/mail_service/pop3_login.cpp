#include "mail_service/pop3_login.h"

#include "mail_service/ascii_case.h"
#include "mail_service/authenticator.h"
#include "mail_service/pop3_replies.h"
#include "mail_service/reply_lines.h"
#include "mail_service/sasl.h"
#include "mail_service/service_events.h"
#include "socket_layer/blanks.h"

#include <cerrno>
#include <utility>

using namespace pop3;

bool ChecksPasswords(const Pop3Session& s) {
    return s.auth != nullptr && s.auth->ChecksPasswords();
}

// Whether a login may be tried on this connection: not in clear where TLS is required.
bool LoginAllowed(const Pop3Session& s) {
    return s.auth == nullptr || !s.auth->RequiresTls() || s.out.Encrypted();
}

namespace {

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

// The end of a login, once the maildrop is listed: the session begins, or, on a folder that
// may be readable later, no session rather than one that shows it empty.
bool EnterMaildrop(Pop3Session& s, std::string_view method,
                   std::shared_ptr<const platform::FolderListing> listing, int unreadable) {
    TakeSnapshot(s.slot, std::move(listing));
    if (unreadable != 0) {
        LogMaildropError(s.log, s.slot, "scan", {}, unreadable);
    }
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

// A login answered once its password check is done (where passwords are real) and its
// maildrop is listed (which may need a worker's count of new files).
class PendingLogin final : public ReplyStream {
public:
    PendingLogin(Pop3Session& s, std::string_view method)
        : slot_(s.slot),
          store_(s.store),
          log_(s.log),
          locks_(s.locks),
          hold_(s.hold),
          resume_(s.resume),
          method_(method),
          result_(std::make_shared<Result>()) {}

    // Begins with the password check. False when the check could not even be queued: answer
    // that at once instead.
    bool CheckPassword(Pop3Session& s, std::string_view password) {
        known_ = s.auth->Knows(s.slot.user);
        std::weak_ptr<Result> result = result_;
        return s.auth->Check(s.slot.user, std::string(password), s.out.PeerAddress(), result,
                             [result, resume = resume_](bool ok, auto waited) {
                                 if (const auto r = result.lock()) {
                                     r->checked = true;
                                     r->ok = ok;
                                     r->waited = waited;
                                     resume();
                                 }
                             });
    }

    // Begins with the maildrop, the password being right: the lock, then the listing, which
    // may come at once. False when the lock could not be had (answered).
    bool ListMaildrop(Pop3Session& s) {
        result_->checked = result_->ok = true;
        if (!HoldMaildrop(s, method_)) {
            return false;
        }
        result_->listing = true;
        std::weak_ptr<Result> result = result_;
        s.store.ListMessages(s.slot.user, [result, resume = resume_](auto listing, int error) {
            if (const auto r = result.lock()) {
                r->listed = std::move(listing);
                r->unreadable = error;
                resume();
            }
        });
        return true;
    }

    Step Pump(Pop3Channel& out, std::size_t) override {
        std::unique_ptr<ReplyStream> none;
        Pop3Session session{slot_, out, store_, none, nullptr, resume_, {}, log_, locks_, hold_};
        if (!result_->checked) {
            return Step::Waiting;
        }
        bool sent = true;
        if (!result_->listing) {
            // A name that is no plain folder name never logs in, whatever the file says.
            if (!result_->ok || slot_.userTooLong || !IsPlainFolderName(slot_.user)) {
                LogLoginFailed(log_, slot_, method_, out.Encrypted(),
                               LoginFailure(slot_, known_ ? "wrong-password" : "unknown-user"),
                               result_->waited);
                sent = SendReplyLine(out, kLoginFailed);
                return sent ? Step::Done : Step::Failed;
            }
            if (!ListMaildrop(session)) {
                return Step::Done;
            }
        }
        if (result_->listed == nullptr) {
            return Step::Waiting;
        }
        sent = EnterMaildrop(session, method_, std::move(result_->listed), result_->unreadable);
        return sent ? Step::Done : Step::Failed;
    }

private:
    struct Result {
        bool checked = false;  // the password was checked
        bool ok = false;
        std::chrono::milliseconds waited{0};
        bool listing = false;  // the maildrop's listing was asked for
        std::shared_ptr<const platform::FolderListing> listed;
        int unreadable = 0;
    };
    ConnectionSlot& slot_;
    const MaildropStore& store_;
    ServiceLog* log_;
    MaildropLocks* locks_;
    std::unique_ptr<MaildropLocks::Hold>* hold_;
    std::function<void()> resume_;
    std::string_view method_;
    bool known_ = false;  // the user has a line in the passwords file
    std::shared_ptr<Result> result_;
};

// Logs in the slot's user, whose password is right: at once, or once the maildrop is listed.
void LogIn(Pop3Session& s, std::string_view method) {
    auto login = std::make_unique<PendingLogin>(s, method);
    if (login->ListMaildrop(s) && login->Pump(s.out, 0) == ReplyStream::Step::Waiting) {
        s.stream = std::move(login);
    }
}

void SetUser(ConnectionSlot& slot, std::string_view name) {
    slot.userTooLong = name.size() > kLongestUserName;
    slot.user.assign(name.substr(0, kLongestUserName));
}

// Checks `password` for the slot's user and answers: at once, or once the check is done.
void CheckPassword(Pop3Session& s, std::string_view password, std::string_view method) {
    if (ChecksPasswords(s)) {
        auto login = std::make_unique<PendingLogin>(s, method);
        if (!login->CheckPassword(s, password)) {
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

}  // namespace

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

namespace {

// Asks for the next response of an AUTH exchange. Where passwords are real the response is a
// secret, and the trace shows it masked.
void Prompt(Pop3Session& s, SaslStep next, std::string_view prompt) {
    s.slot.saslStep = next;
    if (SendReplyLine(s.out, prompt) && ChecksPasswords(s)) {
        s.out.HideNextLine();
    }
}

}  // namespace

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
    const std::string mechanism = AsciiUpper(argument.substr(0, blank));
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
