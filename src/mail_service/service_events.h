#pragma once
// The events the program, the core and the interpreter write to the operator's log: one
// function per event, so that each event's keys and level stand in one place (and in the
// README's table of them). Each does nothing without a log, or when the log does not want the
// event's level, before any text is made.

#include "mail_service/connection_slot.h"
#include "mail_service/service_log.h"
#include "socket_layer/close_reason.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct MarkedRemoval;

// What the start-up line says about the program.
struct StartFacts {
    std::string_view version;
    long long pid = 0;
    std::string_view user;  // whom it runs as
    std::string_view root;  // the maildrop root
    bool tls = false;
    std::string_view fingerprint;  // the certificate's SHA-256 fingerprint, with TLS
    bool requireTls = false;
};

// A user name as a failed login shows it: no more than this many of its bytes.
inline constexpr std::size_t kLoggedUserNameBytes = 64;

void LogStart(ServiceLog* log, const StartFacts& facts);
// `tls`: "no", "stls" (offered after the greeting) or "implicit" (from the first byte).
void LogListening(ServiceLog* log, std::string_view listener, const platform::IpAddress& address,
                  int port, std::string_view tls);
void LogStop(ServiceLog* log, std::size_t openConnections);

void LogAccepted(ServiceLog* log, const ConnectionSlot& slot, std::string_view listener);
// `limit`: "connections", "per-address" or "descriptors".
void LogRefused(ServiceLog* log, const platform::IpAddress& address, int port,
                std::string_view listener, std::string_view limit);
// A connection from a balancer closed before it was served: its PROXY header was missing,
// bad or late.
void LogProxyRefused(ServiceLog* log, const platform::IpAddress& address, int port,
                     std::string_view listener, std::string_view why);
void LogClosed(ServiceLog* log, const ConnectionSlot& slot, CloseReason reason);

void LogLogin(ServiceLog* log, const ConnectionSlot& slot, std::string_view method, bool tls);
// `waited`: how long the answer was held back (the failure penalty); none: not given.
void LogLoginFailed(ServiceLog* log, const ConnectionSlot& slot, std::string_view method, bool tls,
                    std::string_view reason,
                    std::optional<std::chrono::milliseconds> waited = std::nullopt);
// A login the server would not even try ("tls-required", "checks-busy"): one line per
// connection, however often the client tries.
void LogLoginRefused(ServiceLog* log, ConnectionSlot& slot, std::string_view method,
                     std::string_view reason);
// The end of a logged-in session: at QUIT with what became of the marks, or at the close of a
// connection that never sent QUIT (its marks all unhonoured). Once per session.
void LogLogout(ServiceLog* log, ConnectionSlot& slot, const MarkedRemoval* quit);

// A maildrop operation that failed: `operation` "scan" (the user's folder could not be read)
// or "delete" (`failed` marked files could not be removed, `file` the first of them).
void LogMaildropError(ServiceLog* log, const ConnectionSlot& slot, std::string_view operation,
                      std::string_view file, int error, std::size_t failed = 1);

// A message stored by LMTP or SMTP: `stored` is "folder/name" under the root (one line per
// maildrop that took it), `size` its bytes.
void LogDelivered(ServiceLog* log, const ConnectionSlot& slot, std::string_view stored,
                  std::int64_t size);
// A recipient or a message refused: `reason` "unknown-user", "relaying", "too-big", "empty" or
// "failed" (with `error`, an errno value); `recipient` and `size` (-1) where known.
void LogDeliveryRefused(ServiceLog* log, const ConnectionSlot& slot, std::string_view recipient,
                        std::int64_t size, std::string_view reason, int error = 0);
