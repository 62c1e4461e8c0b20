// LMTP steps shared by the delivery scenarios: replies, one transaction, the DATA form of a
// message, and checking what a server stored.
#pragma once

#include "net.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Reads one reply (all its "250-" lines and the last) and throws unless its code is `code`;
// returns the reply's lines joined by '\n'.
std::string expectCode(Conn& c, int code, std::string_view what);

// Appends `lines` (whole lines) to `out` with every line that starts with "." stuffed.
void appendStuffed(std::string& out, std::string_view lines);

// The message makeMessage gives, as sent after DATA: stuffed, then the final ".".
std::string dataForm(std::uint64_t seed, std::uint64_t size, const std::string& user);

std::string mailbox(const std::string& user, const std::string& domain);

// Greeting and LHLO; returns the LHLO reply.
std::string lmtpHello(Conn& c);

// One transaction, each command waiting for its reply: MAIL, RCPT, DATA, then the message
// (already in DATA form) and its one 250 (one recipient).
void lmtpSendOne(Conn& c, const std::string& rcpt, std::string_view data);

void lmtpQuit(Conn& c);

// The messages in a folder: its regular files whose names do not begin with "."; for a
// Maildir (it has new/), those of new/ and cur/. Sorted.
std::vector<std::string> storedMessages(const std::string& folder);

// Checks a stored copy of makeMessage(seed, size, user), the seed read from its Subject: the
// server may add header lines, but the body must follow the header byte for byte, with each
// CR LF stored as CR LF or as LF (Dovecot stores LF). Throws on a mismatch.
void checkStored(const std::string& path, std::uint64_t size, const std::string& user);

// The folder holds exactly `expected` messages; the first, the middle and the last are checked.
void checkFolder(const std::string& folder, std::size_t expected, std::uint64_t size,
                 const std::string& user);

}  // namespace bench
