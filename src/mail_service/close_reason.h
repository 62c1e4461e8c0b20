#pragma once
// Why a connection closed, as the log names it. The conversation knows how the input ended
// when it saw that happen (the client closed, a line too long, a failure). What the socket
// layer decides by itself (idle and stalled connections, TLS failures and timeouts) it tells
// only the trace, so that is read back from the trace entries made since the connection began.
// Only closes the conversation did not see need the trace.

#include "socket_layer/mod_falquor.h"

#include <cstdint>
#include <string_view>

class TraceRing;

// One of "peer-closed", "overlong-line", "reset", "tls-failure", "idle", "stalled-output",
// "tls-handshake-timeout", or "unknown" (the trace no longer holds the connection's entries).
// `seen`: how the conversation saw the input end (None: it did not end the connection);
// `traceFrom`: the trace's end() when the connection was accepted; `socket`: its handle.
std::string_view CloseReason(InputEnd seen, const TraceRing& trace, std::uint64_t traceFrom,
                             int socket);
