#pragma once
// Why a connection closed, as the socket layer tells the connection's owner.

#include <cstdint>

// Decided once, by the move that began the close, and kept whatever follows from it: an idle
// connection whose close then fails was closed for being idle.
enum class CloseReason : std::uint8_t {
    Unknown,              // nothing said why: a move against the state table
    PeerClosed,           // the client ended its side, and the owner closed after the replies
    LineTooLong,          // a request line over the limit, and the owner closed after its reply
    Reset,                // a reset or another failure of the socket
    TlsFailure,           // TLS itself failed: the handshake or a record
    TlsHandshakeTimeout,  // the handshake did not finish in time
    Idle,                 // no progress for the idle timeout
    StalledOutput,        // the client took none of its output for the idle timeout
    Server,               // the owner closed it with its input still open (after its last
                          // reply, or to refuse it)
};
