#pragma once
// Every reply text of the LMTP and SMTP receivers, once, with its enhanced status code.

#include <string_view>

namespace delivery_replies {

inline constexpr std::string_view kHello = "250 ";  // and the host name, or the extensions
inline constexpr std::string_view kOk = "250 2.0.0 OK";
inline constexpr std::string_view kSenderOk = "250 2.1.0 Sender OK";
inline constexpr std::string_view kRecipientOk = "250 2.1.5 Recipient OK";
inline constexpr std::string_view kDelivered = "250 2.0.0 Delivered";
inline constexpr std::string_view kStartData = "354 Start mail input; end with <CRLF>.<CRLF>";
inline constexpr std::string_view kBye = "221 2.0.0 Bye";
inline constexpr std::string_view kCannotVerify = "252 2.5.0 Cannot verify; try sending";
inline constexpr std::string_view kStartTls = "220 2.0.0 Ready to start TLS";
inline constexpr std::string_view kAuthOk = "235 2.7.0 Authentication successful";
inline constexpr std::string_view kSaslPrompt = "334 ";
inline constexpr std::string_view kLoginUserPrompt = "334 VXNlcm5hbWU6";
inline constexpr std::string_view kLoginPasswordPrompt = "334 UGFzc3dvcmQ6";

inline constexpr std::string_view kTryLater = "451 4.3.0 Cannot store the message now; try later";
inline constexpr std::string_view kNoSpace = "452 4.3.1 Insufficient system storage";
inline constexpr std::string_view kTooManyRecipients = "452 4.5.3 Too many recipients";
inline constexpr std::string_view kCannotCheck = "451 4.3.0 Cannot look up the recipient now";
inline constexpr std::string_view kTlsUnavailable = "454 4.7.0 TLS not available";
inline constexpr std::string_view kAuthBusy = "454 4.7.0 Too many logins waiting; try later";

inline constexpr std::string_view kUnknownCommand = "500 5.5.2 Command not recognized";
inline constexpr std::string_view kLineTooLong = "500 5.5.6 Line too long";
inline constexpr std::string_view kSyntax = "501 5.5.4 Syntax error in parameters or arguments";
inline constexpr std::string_view kAuthCancelled = "501 5.0.0 Authentication cancelled";
inline constexpr std::string_view kBadSequence = "503 5.5.1 Bad sequence of commands";
inline constexpr std::string_view kNoRecipients = "503 5.5.1 No valid recipients";
inline constexpr std::string_view kNoRecipientsSmtp = "554 5.5.1 No valid recipients";
inline constexpr std::string_view kAuthUnknownMechanism =
    "504 5.5.4 Unrecognized authentication type";
inline constexpr std::string_view kAuthFailed = "535 5.7.8 Authentication credentials invalid";
inline constexpr std::string_view kEncryptionRequired =
    "538 5.7.11 Encryption required for requested authentication mechanism";
inline constexpr std::string_view kUnknownUser = "550 5.1.1 No such user here";
inline constexpr std::string_view kRelayDenied = "550 5.7.1 Relaying denied";
inline constexpr std::string_view kTooBig = "552 5.3.4 Message size exceeds fixed limit";
inline constexpr std::string_view kBadMailbox = "553 5.1.3 Bad recipient address syntax";
inline constexpr std::string_view kEmptyMessage = "554 5.6.0 Empty message";
inline constexpr std::string_view kUnknownParameter = "555 5.5.4 Unsupported parameter";

}  // namespace delivery_replies
