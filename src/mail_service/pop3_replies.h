#pragma once
// Every reply text of the POP3 interpreter, once, and the words it shows for logins.

#include <string_view>

namespace pop3 {

inline constexpr std::string_view kGreeting = "+OK Drennik here";
inline constexpr std::string_view kOk = "+OK";
inline constexpr std::string_view kOkBlank = "+OK ";  // RETR's status line and QUIT's reply
// A failed login's reply codes (RFC 3206): [AUTH] the credentials, [SYS/TEMP] the server.
inline constexpr std::string_view kLoginFailed = "-ERR [AUTH] invalid user name or password";
inline constexpr std::string_view kMaildropUnreadable =
    "-ERR [SYS/TEMP] the maildrop cannot be read; try again later";
inline constexpr std::string_view kNoSuchMessage = "-ERR no such message";
inline constexpr std::string_view kMessageUnavailable = "-ERR message unavailable";
inline constexpr std::string_view kNotAllRemoved = "-ERR some deleted messages not removed";
inline constexpr std::string_view kLineTooLong = "-ERR line too long";
inline constexpr std::string_view kTooManyConnections = "-ERR too many connections";
inline constexpr std::string_view kTopNeedsLines =
    "-ERR TOP needs a message number and a line count";
inline constexpr std::string_view kTopNegative = "-ERR the line count must not be negative";
inline constexpr std::string_view kTlsRequired = "-ERR TLS required";
inline constexpr std::string_view kTlsAlready = "-ERR already encrypted";
inline constexpr std::string_view kTlsTooLate = "-ERR STLS only before USER and PASS";
inline constexpr std::string_view kMaildropInUse =
    "-ERR [IN-USE] maildrop in use by another session";
inline constexpr std::string_view kChecksBusy =
    "-ERR [SYS/TEMP] too many logins waiting; try again later";
inline constexpr std::string_view kAuthCancelled = "-ERR authentication cancelled";
inline constexpr std::string_view kAuthBadResponse = "-ERR bad authentication response";
inline constexpr std::string_view kAuthUnknownMechanism = "-ERR unknown authentication mechanism";
inline constexpr std::string_view kAuthWrongIdentity =
    "-ERR [AUTH] the authorization identity must be empty or the user";
// Continuation prompts: PLAIN's is empty; LOGIN asks "Username:" then "Password:" in base64.
inline constexpr std::string_view kSaslPrompt = "+ ";
inline constexpr std::string_view kLoginUserPrompt = "+ VXNlcm5hbWU6";
inline constexpr std::string_view kLoginPasswordPrompt = "+ UGFzc3dvcmQ6";
inline constexpr std::string_view kMaskedPassword = " ****";
inline constexpr std::string_view kMaskedLine = "****";
inline constexpr std::string_view kCapabilitiesBeforeUser[] = {"TOP"};
inline constexpr std::string_view kCapabilitiesAfterUser[] = {
    "UIDL", "PIPELINING", "RESP-CODES", "AUTH-RESP-CODE", "IMPLEMENTATION Drennik"};
inline constexpr std::string_view kCapabilityUser = "USER";
inline constexpr std::string_view kCapabilitySasl = "SASL PLAIN LOGIN";
inline constexpr std::string_view kCapabilityStls = "STLS";
// How a login was made, as the log names it; PLAIN and LOGIN are also the AUTH mechanisms.
inline constexpr std::string_view kMethodUser = "USER";
inline constexpr std::string_view kMethodPlain = "PLAIN";
inline constexpr std::string_view kMethodLogin = "LOGIN";

}  // namespace pop3
