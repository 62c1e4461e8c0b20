#pragma once
// Every limit that shapes how bytes flow through a connection, in one place, with the relations
// between them checked where they are defined.

#include <chrono>
#include <cstddef>

namespace flow {

// recv() is asked for this much at a time.
inline constexpr std::size_t kReadChunk = 4096;
// The longest request line accepted, without its CR LF. Longer ends the connection's input.
inline constexpr std::size_t kMaxLine = 64 * 1024;

// Queued output is written at once when it reaches this size, else once per event-loop pass,
// so the lines of one reply leave in as few system calls as practical.
inline constexpr std::size_t kWriteNow = 128 * 1024;
// Above this much queued output a connection is congested: no more reply is produced for it and
// its input is not read until the client has taken some.
inline constexpr std::size_t kHighWater = 256 * 1024;

// A streamed reply (a message, a listing) reads its source a block at a time...
inline constexpr std::size_t kStreamBlock = 64 * 1024;
// ...holds at most this much of one unfinished line before sending it in pieces...
inline constexpr std::size_t kLongestHeldLine = 64 * 1024;
// ...and hands finished lines on in batches of about this size.
inline constexpr std::size_t kStreamBatch = 256 * 1024;

// A message sent from a mapping of its file goes in larger steps: it holds no memory of the
// program's, and each step's trace costs the same whatever the step's size.
inline constexpr std::size_t kMappedBatch = 1024 * 1024;

// One connection's turn: at most this many requests, or this many streamed bytes, before the
// other connections are served.
inline constexpr int kLinesPerTurn = 256;
inline constexpr std::size_t kStreamBytesPerTurn = 4 * 1024 * 1024;

// Over TLS, queued plaintext is encrypted a batch at a time, and the next batch only once the
// last one's ciphertext has gone: what waits encrypted per connection stays within a batch.
inline constexpr std::size_t kTlsBatch = 64 * 1024;
// Ciphertext is taken from the socket a full record (16 KiB and its overhead) at a time.
inline constexpr std::size_t kTlsReadChunk = 17 * 1024;
// A read turn of a TLS connection gives up after this many reads without a plaintext byte
// (a peer that sends only handshake or empty records); the socket's readiness brings it back.
inline constexpr int kTlsReadsPerTurn = 64;

// A TLS handshake must be done this long after it began, or within the idle timeout if that
// is shorter. It counts from the start, not from the last progress: what the server sends
// during the handshake does not give an unfinished one more time.
inline constexpr std::chrono::seconds kTlsHandshake{60};

// How long a closed connection keeps reading (and dropping) what its client still sends, so
// the close does not become a reset that destroys the last reply.
inline constexpr std::chrono::seconds kLinger{5};

// Queued output must be written before it reaches the congestion mark, or a connection would be
// congested while nothing is being written for it.
static_assert(kWriteNow < kHighWater);
// A batch is what one step of a stream may add above the mark: at most one batch's worth over
// it, so memory per connection stays within about twice the mark.
static_assert(kStreamBatch <= kHighWater);
// A stream block's finished lines fit one batch, so a batch is sent at least once per block.
static_assert(kStreamBlock <= kStreamBatch);
// The limit of a line is checked between reads: a line buffer holds at most one read more.
static_assert(kReadChunk < kMaxLine);
// A turn sends at least a few batches, or a stream would yield after every block.
static_assert(kStreamBytesPerTurn >= 4 * kStreamBatch);
static_assert(kStreamBytesPerTurn >= 4 * kMappedBatch);

}  // namespace flow
