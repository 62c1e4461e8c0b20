#pragma once
// The trace of bytes sent without passing through the trace's usual way (a file span, bytes
// borrowed from a mapped file): their lines as sent lines, fetched only as far back as the
// trace keeps them.

#include "socket_layer/trace.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

// One entry with `prefix` per line of `length` bytes of the open file `fd` from `offset`:
// pieces ending in CR LF, and a last piece without one. The trace afterwards holds the same
// bytes as if every line had been appended, but only the span's end is read: as many of the
// last lines as fill the ring (and, for a line that begins before what was read, twice as much
// until its beginning is found). A trace with a sink is given every line, read a block at a time.
void TraceFileSpan(Trace& trace, std::string_view prefix, int fd, std::int64_t offset,
                   std::int64_t length);

// The same for the pieces of `pieces` taken one after the other.
void TracePieces(Trace& trace, std::string_view prefix, std::span<const std::string_view> pieces);
