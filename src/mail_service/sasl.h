#pragma once
// The pieces of a SASL exchange that are plain text work: base64 as AUTH carries it, and the
// PLAIN mechanism's message.

#include <optional>
#include <string>
#include <string_view>

// The longest client response taken, encoded: a user name and a password of any sensible
// length fit many times over.
inline constexpr std::size_t kLongestSaslResponse = 2048;

// Strict base64 (RFC 4648, padded, no blanks); nullopt for anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// A PLAIN message: authorization identity, user and password, separated by NUL bytes.
struct PlainCredentials {
    std::string authorizationId;
    std::string user;
    std::string password;
};
// Nullopt when the message does not have exactly three parts or names no user.
std::optional<PlainCredentials> ReadPlainMessage(std::string_view message);
