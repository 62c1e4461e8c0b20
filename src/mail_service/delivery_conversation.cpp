#include "mail_service/delivery_conversation.h"

#include "mail_service/ascii_case.h"
#include "mail_service/authenticator.h"
#include "mail_service/delivery_replies.h"
#include "mail_service/maildrop.h"
#include "mail_service/sasl.h"
#include "mail_service/service_events.h"
#include "socket_layer/blanks.h"
#include "socket_layer/flow_limits.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

using namespace delivery_replies;

namespace {

// "FROM:<path> params" or "TO:<path> params": the path without its brackets and the
// parameters. A path without brackets, as some clients send, is taken up to the first blank.
bool ReadPath(std::string_view argument, std::string_view keyword, std::string_view& path,
              std::string_view& parameters) {
    if (argument.size() < keyword.size() ||
        AsciiUpper(argument.substr(0, keyword.size())) != keyword) {
        return false;
    }
    std::string_view rest = TrimBlanks(argument.substr(keyword.size()));
    std::size_t end = 0;
    if (!rest.empty() && rest.front() == '<') {
        end = rest.find('>');
        if (end == std::string_view::npos) {
            return false;
        }
        path = rest.substr(1, end - 1);
        ++end;
    } else {
        end = std::min(rest.find(' '), rest.size());
        path = rest.substr(0, end);
        if (path.empty()) {
            return false;
        }
    }
    parameters = TrimBlanks(rest.substr(end));
    return parameters.empty() || rest[end] == ' ';
}

// A recipient's local part and domain: a source route ("@a,@b:") is dropped, the domain is
// what follows the last "@", a quoted local part loses its quotes and escapes.
bool SplitAddress(std::string_view path, std::string& local, std::string& domain) {
    if (!path.empty() && path.front() == '@') {
        const std::size_t colon = path.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        path = path.substr(colon + 1);
    }
    const std::size_t at = path.rfind('@');
    std::string_view localPart = path.substr(0, at);
    domain = at == std::string_view::npos ? std::string() : AsciiLower(path.substr(at + 1));
    if (localPart.size() >= 2 && localPart.front() == '"' && localPart.back() == '"') {
        local.clear();
        for (std::size_t i = 1; i + 1 < localPart.size(); ++i) {
            if (localPart[i] == '\\' && i + 2 < localPart.size()) {
                ++i;
            }
            local += localPart[i];
        }
    } else {
        local = localPart;
    }
    return !local.empty() && (at == std::string_view::npos || !domain.empty());
}

// The value of a decimal SIZE parameter, or nothing.
std::optional<std::int64_t> ReadSize(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error == std::errc::result_out_of_range) {
        return text.empty() ? std::nullopt : std::optional<std::int64_t>(INT64_MAX);
    }
    if (error != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

struct DeliveryConversation::Command {
    std::string_view name;
    Handler handler;
    // Which protocol knows it: both, LMTP only, SMTP only.
    enum class Where : std::uint8_t { Both, Lmtp, Smtp } where = Where::Both;
};

const DeliveryConversation::Command DeliveryConversation::kCommands[] = {
    {"LHLO", &DeliveryConversation::Hello, Command::Where::Lmtp},
    {"EHLO", &DeliveryConversation::Hello, Command::Where::Smtp},
    {"HELO", &DeliveryConversation::OldHello, Command::Where::Smtp},
    {"MAIL", &DeliveryConversation::Mail},
    {"RCPT", &DeliveryConversation::Rcpt},
    {"DATA", &DeliveryConversation::Data},
    {"RSET", &DeliveryConversation::Rset},
    {"NOOP", &DeliveryConversation::Noop},
    {"QUIT", &DeliveryConversation::Quit},
    {"VRFY", &DeliveryConversation::Vrfy},
    {"STARTTLS", &DeliveryConversation::StartTls},
    {"AUTH", &DeliveryConversation::Auth, Command::Where::Smtp},
};

DeliveryConversation::DeliveryConversation(DeliveryProtocol protocol, ConnectionSlot& slot,
                                           Pop3Channel& channel, DeliveryWorkers& workers,
                                           const DeliveryPolicy& policy,
                                           std::function<void()> resumeLater, Authenticator* auth,
                                           ServiceLog* log)
    : protocol_(protocol),
      slot_(slot),
      channel_(channel),
      workers_(workers),
      policy_(policy),
      resumeLater_(std::move(resumeLater)),
      auth_(auth),
      log_(log) {
    slot_.kind = Smtp() ? SessionKind::Smtp : SessionKind::Lmtp;
    slot_.totalCount = 0;
    slot_.totalSize = 0;
    ShowStage();
}

void DeliveryConversation::ShowStage() {
    switch (stage_) {
        case Stage::Fresh:
            slot_.stage = "Greeted";
            return;
        case Stage::Ready:
            slot_.stage = "Ready";
            return;
        case Stage::Mail:
            slot_.stage = "Mail";
            return;
        case Stage::Data:
            slot_.stage = dataEnded_ ? "Storing" : "Data";
            return;
    }
}

DeliveryConversation::~DeliveryConversation() {
    DropMessage();
}

void DeliveryConversation::DropMessage() {
    if (feed_) {
        feed_->Cancel();
        feed_.reset();
    }
    feedAlive_.reset();
}

void DeliveryConversation::Greet() {
    Reply("220 " + policy_.hostName + (Smtp() ? " ESMTP" : " LMTP") + " Drennik ready");
}

void DeliveryConversation::Reply(std::string_view text) {
    if (!ended_ && !channel_.SendLine(text)) {
        // The connection has failed: nothing more is read or sent, and no message is kept.
        DropMessage();
        ended_ = true;
        channel_.Close();
    }
}

int DeliveryConversation::Serve() {
    int served = 0;
    while (!ended_ && !waiting_) {
        if (report_ && dataEnded_) {
            AnswerDelivery(*report_);
            continue;
        }
        if (channel_.Congested()) {
            break;  // replies go in order: the next command waits for the queue to drain
        }
        if (served == flow::kLinesPerTurn) {
            resumeLater_();
            break;
        }
        if (stage_ == Stage::Data && feed_ && feed_->Full()) {
            break;  // the worker says when it has room
        }
        if (!channel_.ReceiveLine(line_)) {
            EndInput();
            break;
        }
        ++served;
        if (stage_ == Stage::Data && !dataEnded_) {
            DataLine(line_);
        } else if (sasl_ != SaslStep::None) {
            SaslResponse(line_);
        } else {
            Interpret(line_);
        }
    }
    ShowStage();
    return served;
}

void DeliveryConversation::EndInput() {
    switch (channel_.InputState()) {
        case InputEnd::None:
            return;
        case InputEnd::LineTooLong:
            Reply(kLineTooLong);
            break;
        case InputEnd::PeerClosed:
        case InputEnd::Failed:
            break;
    }
    DropMessage();  // a message cut short is no message
    ended_ = true;
    channel_.Close();
}

void DeliveryConversation::Interpret(std::string_view line) {
    slot_.request.assign(line.substr(0, kShownRequestLength));
    if (line.size() > kLongestCommand) {
        Reply(kLineTooLong);
        return;
    }
    const std::string_view trimmed = TrimBlanks(line);
    const std::size_t blank = std::min(trimmed.find(' '), trimmed.size());
    const std::string word = AsciiUpper(trimmed.substr(0, blank));
    const std::string_view argument = TrimBlanks(trimmed.substr(blank));
    for (const Command& command : kCommands) {
        if (command.name != word) {
            continue;
        }
        if (command.where == Command::Where::Lmtp && Smtp()) {
            break;
        }
        if (command.where == Command::Where::Smtp && !Smtp()) {
            break;
        }
        (this->*command.handler)(argument);
        return;
    }
    Reply(kUnknownCommand);
}

void DeliveryConversation::ResetTransaction() {
    DropMessage();
    recipients_.clear();
    chunk_.clear();
    size_ = 0;
    tooBig_ = false;
    dataEnded_ = false;
    report_.reset();
    if (stage_ != Stage::Fresh) {
        stage_ = Stage::Ready;
    }
}

void DeliveryConversation::Hello(std::string_view argument) {
    if (argument.empty()) {
        Reply(kSyntax);
        return;
    }
    ResetTransaction();
    stage_ = Stage::Ready;
    std::string reply = "250-" + policy_.hostName + "\r\n";
    reply += "250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n";
    reply += "250-SIZE " + std::to_string(workers_.Rules().maxMessageSize) + "\r\n";
    if (tlsAllowed_ && channel_.CanStartTls() && !channel_.Encrypted()) {
        reply += "250-STARTTLS\r\n";
    }
    if (Smtp() && !authenticated_) {
        reply += "250-AUTH PLAIN LOGIN\r\n";
    }
    // The last line has a blank after its code instead of a hyphen.
    reply.pop_back();
    reply.pop_back();
    const std::size_t last = reply.rfind("\r\n");
    const std::size_t dash = last == std::string::npos ? 3 : last + 5;
    reply[dash] = ' ';
    reply += "\r\n";
    if (!ended_ && !channel_.SendLines(reply)) {
        ended_ = true;
        channel_.Close();
    }
}

void DeliveryConversation::OldHello(std::string_view argument) {
    if (argument.empty()) {
        Reply(kSyntax);
        return;
    }
    ResetTransaction();
    stage_ = Stage::Ready;
    Reply(std::string(kHello) + policy_.hostName);
}

void DeliveryConversation::Mail(std::string_view argument) {
    if (stage_ != Stage::Ready) {
        Reply(kBadSequence);
        return;
    }
    std::string_view path;
    std::string_view parameters;
    if (!ReadPath(argument, "FROM:", path, parameters)) {
        Reply(kSyntax);
        return;
    }
    while (!parameters.empty()) {
        const std::size_t blank = std::min(parameters.find(' '), parameters.size());
        const std::string_view parameter = parameters.substr(0, blank);
        parameters = TrimBlanks(parameters.substr(blank));
        const std::size_t equals = std::min(parameter.find('='), parameter.size());
        const std::string key = AsciiUpper(parameter.substr(0, equals));
        const std::string_view value =
            equals < parameter.size() ? parameter.substr(equals + 1) : std::string_view();
        if (key == "SIZE") {
            const std::optional<std::int64_t> size = ReadSize(value);
            if (!size) {
                Reply(kSyntax);
                return;
            }
            if (*size > workers_.Rules().maxMessageSize) {
                LogDeliveryRefused(log_, slot_, {}, *size, "too-big");
                Reply(kTooBig);
                return;
            }
        } else if (key == "BODY") {
            const std::string body = AsciiUpper(value);
            if (body != "7BIT" && body != "8BITMIME") {
                Reply(kUnknownParameter);
                return;
            }
        } else if (key != "AUTH") {  // AUTH=<> says who sent it: nothing to do with it here
            Reply(kUnknownParameter);
            return;
        }
    }
    ResetTransaction();
    stage_ = Stage::Mail;
    Reply(kSenderOk);
}

void DeliveryConversation::Rcpt(std::string_view argument) {
    if (stage_ != Stage::Mail) {
        Reply(kBadSequence);
        return;
    }
    std::string_view path;
    std::string_view parameters;
    if (!ReadPath(argument, "TO:", path, parameters)) {
        Reply(kSyntax);
        return;
    }
    if (!parameters.empty()) {
        Reply(kUnknownParameter);
        return;
    }
    std::string local;
    std::string domain;
    if (!SplitAddress(path, local, domain)) {
        Reply(kBadMailbox);
        return;
    }
    if (Smtp() && !domain.empty() && !policy_.domains.empty() &&
        std::find(policy_.domains.begin(), policy_.domains.end(), domain) ==
            policy_.domains.end()) {
        LogDeliveryRefused(log_, slot_, path, -1, "relaying");
        Reply(kRelayDenied);
        return;
    }
    if (recipients_.size() >= kMostRecipients) {
        Reply(kTooManyRecipients);
        return;
    }
    if (!IsPlainFolderName(local)) {
        LogDeliveryRefused(log_, slot_, path, -1, "unknown-user");
        Reply(kUnknownUser);
        return;
    }
    // Whether the folder is there is a look at the disk: a worker's.
    waiting_ = true;
    pendingRecipient_ = path;
    pendingUser_ = local;
    workers_.Check(local, alive_, [this](DeliveryOutcome outcome, int) {
        waiting_ = false;
        switch (outcome) {
            case DeliveryOutcome::Delivered:
                recipients_.push_back(Recipient{pendingRecipient_, pendingUser_});
                slot_.user.clear();
                for (const Recipient& r : recipients_) {
                    if (slot_.user.size() < kLongestUserName) {
                        slot_.user += slot_.user.empty() ? "" : ",";
                        slot_.user += r.user;
                    }
                }
                Reply(kRecipientOk);
                break;
            case DeliveryOutcome::UnknownUser:
                LogDeliveryRefused(log_, slot_, pendingRecipient_, -1, "unknown-user");
                Reply(kUnknownUser);
                break;
            default:
                Reply(kCannotCheck);
                break;
        }
        resumeLater_();
    });
}

void DeliveryConversation::Rset(std::string_view argument) {
    if (!argument.empty()) {
        Reply(kSyntax);
        return;
    }
    ResetTransaction();
    Reply(kOk);
}

void DeliveryConversation::Noop(std::string_view) {
    Reply(kOk);
}

void DeliveryConversation::Quit(std::string_view) {
    Reply(kBye);
    ResetTransaction();
    ended_ = true;
    channel_.Close();
}

void DeliveryConversation::Vrfy(std::string_view argument) {
    Reply(argument.empty() ? kSyntax : kCannotVerify);
}

void DeliveryConversation::StartTls(std::string_view argument) {
    if (!argument.empty()) {
        Reply(kSyntax);
        return;
    }
    if (!tlsAllowed_ || !channel_.CanStartTls()) {
        Reply(kTlsUnavailable);
        return;
    }
    if (channel_.Encrypted() || stage_ == Stage::Mail) {
        Reply(kBadSequence);
        return;
    }
    Reply(kStartTls);
    channel_.StartTls();
    // Nothing said in clear counts once encrypted: the client says hello again.
    ResetTransaction();
    stage_ = Stage::Fresh;
}
