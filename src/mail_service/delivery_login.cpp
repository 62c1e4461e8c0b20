#include "mail_service/delivery_conversation.h"

#include "mail_service/ascii_case.h"
#include "mail_service/authenticator.h"
#include "mail_service/delivery_replies.h"
#include "mail_service/sasl.h"
#include "mail_service/service_events.h"
#include "socket_layer/blanks.h"

#include <algorithm>

// SMTP AUTH: PLAIN and LOGIN, checked as POP3 logins are.

using namespace delivery_replies;

void DeliveryConversation::Auth(std::string_view argument) {
    if (stage_ != Stage::Ready || authenticated_) {
        Reply(kBadSequence);
        return;
    }
    const std::size_t blank = std::min(argument.find(' '), argument.size());
    const std::string mechanism = AsciiUpper(argument.substr(0, blank));
    const std::string_view initial = TrimBlanks(argument.substr(blank));
    if (mechanism != "PLAIN" && mechanism != "LOGIN") {
        Reply(mechanism.empty() ? kSyntax : kAuthUnknownMechanism);
        return;
    }
    if (auth_ != nullptr && auth_->RequiresTls() && !channel_.Encrypted()) {
        Reply(kEncryptionRequired);
        return;
    }
    sasl_ = mechanism == "PLAIN" ? SaslStep::PlainResponse : SaslStep::LoginUser;
    if (!initial.empty()) {
        SaslResponse(initial);
        return;
    }
    channel_.HideNextLine();
    Reply(sasl_ == SaslStep::PlainResponse ? kSaslPrompt : kLoginUserPrompt);
}

void DeliveryConversation::SaslResponse(std::string_view line) {
    const SaslStep step = sasl_;
    sasl_ = SaslStep::None;
    if (line == "*") {
        Reply(kAuthCancelled);
        return;
    }
    // "=" is an empty initial response.
    const std::optional<std::string> decoded =
        line == "=" ? std::optional<std::string>("") : DecodeBase64(line);
    if (!decoded || line.size() > kLongestSaslResponse) {
        Reply(kSyntax);
        return;
    }
    switch (step) {
        case SaslStep::PlainResponse: {
            const std::optional<PlainCredentials> plain = ReadPlainMessage(*decoded);
            if (!plain ||
                !(plain->authorizationId.empty() || plain->authorizationId == plain->user)) {
                Reply(kAuthFailed);
                return;
            }
            CheckLogin(plain->user, plain->password);
            return;
        }
        case SaslStep::LoginUser:
            saslUser_ = *decoded;
            sasl_ = SaslStep::LoginPassword;
            channel_.HideNextLine();
            Reply(kLoginPasswordPrompt);
            return;
        case SaslStep::LoginPassword:
            CheckLogin(saslUser_, *decoded);
            return;
        case SaslStep::None:
            break;
    }
}

void DeliveryConversation::CheckLogin(const std::string& user, const std::string& password) {
    const auto answer = [this](bool ok) {
        authenticated_ = ok;
        Reply(ok ? kAuthOk : kAuthFailed);
    };
    if (auth_ == nullptr || !auth_->ChecksPasswords()) {
        // As for POP3: the password is the user name.
        answer(IsPlainFolderName(user) && password == user);
        return;
    }
    const bool queued = auth_->Check(user, password, channel_.PeerAddress(), alive_,
                                     [this, answer, user](bool ok, std::chrono::milliseconds) {
                                         waiting_ = false;
                                         answer(ok && IsPlainFolderName(user));
                                         resumeLater_();
                                     });
    if (!queued) {
        Reply(kAuthBusy);
        return;
    }
    waiting_ = true;
}
