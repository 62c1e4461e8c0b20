#include "socket_layer/span_trace.h"

#include "platform/file_handle.h"
#include "socket_layer/blanks.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t kNone = std::string::npos;

// Where the CR of the last CR LF that ends before `end` is, or kNone.
std::size_t LastLineEnd(std::string_view text, std::size_t end) {
    while (end >= 2) {
        const std::size_t lf = text.rfind('\n', end - 1);
        if (lf == std::string_view::npos || lf == 0) {
            return kNone;
        }
        if (text[lf - 1] == '\r') {
            return lf - 1;
        }
        end = lf;
    }
    return kNone;
}

// Where the first line of `tail` whose entry the ring still keeps begins, walking back from
// the end; kNone when that line may begin before `tail` does (`whole`: it cannot).
std::size_t FirstKept(std::string_view tail, std::size_t prefixSize, std::size_t keep, bool whole) {
    std::size_t end = tail.size();
    if (tail.size() >= 2 && tail.substr(tail.size() - 2) == "\r\n") {
        end -= 2;
    }
    std::size_t entries = 0;
    while (true) {
        const std::size_t crlf = LastLineEnd(tail, end);
        const std::size_t begin = crlf == kNone ? 0 : crlf + 2;
        if (begin == 0 && !whole) {
            return kNone;
        }
        entries += prefixSize + 2 + TrimBlanks(tail.substr(begin, end - begin)).size() + 3;
        if (entries >= keep || begin == 0) {
            return begin;
        }
        end = crlf;
    }
}

bool ReadAt(int fd, std::int64_t offset, std::size_t count, std::string& out) {
    out.resize(count);
    std::size_t got = 0;
    while (got < count) {
        const long n = platform::ReadFileAt(fd, out.data() + got, count - got,
                                            offset + static_cast<std::int64_t>(got));
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// Every line of the span, read a block at a time, for a trace whose sink keeps them all. Only
// an unfinished line is carried from one block to the next.
void TraceWholeSpan(Trace& trace, std::string_view prefix, int fd, std::int64_t offset,
                    std::int64_t length) {
    constexpr std::int64_t kBlock = 64 * 1024;
    std::string text;
    std::string block;
    for (std::int64_t at = 0; at < length;) {
        const auto size = static_cast<std::size_t>(std::min(kBlock, length - at));
        if (!ReadAt(fd, offset + at, size, block)) {
            return;  // the file is shorter than the span: sending it fails too
        }
        at += static_cast<std::int64_t>(size);
        // The carried piece holds no CR LF, but its last byte may be the CR of one.
        std::size_t from = text.empty() ? 0 : text.size() - 1;
        text += block;
        std::size_t begin = 0;
        for (std::size_t crlf; (crlf = text.find("\r\n", from)) != std::string::npos;
             begin = from = crlf + 2) {
            trace.AppendEntry(prefix, std::string_view(text).substr(begin, crlf - begin));
        }
        text.erase(0, begin);
    }
    if (!text.empty()) {
        trace.AppendEntry(prefix, text);
    }
}

// Traces the lines of `length` bytes, of which `tail(size, out)` gives the last `size` in
// `out` (false when they cannot be had).
void TraceTail(Trace& trace, std::string_view prefix, std::int64_t length,
               const std::function<bool(std::size_t, std::string&)>& tailOf) {
    if (length <= 0) {
        return;
    }
    const std::size_t keep = trace.capacity();
    std::string tail;
    std::size_t first = kNone;
    for (std::size_t want = keep; first == kNone; want *= 2) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(length, want));
        if (!tailOf(size, tail)) {
            return;
        }
        first = FirstKept(tail, prefix.size(), keep, size == static_cast<std::size_t>(length));
    }
    std::string_view rest = std::string_view(tail).substr(first);
    while (!rest.empty()) {
        const std::size_t crlf = rest.find("\r\n");
        trace.AppendEntry(prefix, rest.substr(0, crlf));
        rest.remove_prefix(crlf == std::string_view::npos ? rest.size() : crlf + 2);
    }
}

}  // namespace

void TraceFileSpan(Trace& trace, std::string_view prefix, int fd, std::int64_t offset,
                   std::int64_t length) {
    if (trace.sink() != nullptr) {
        TraceWholeSpan(trace, prefix, fd, offset, length);
        return;
    }
    TraceTail(trace, prefix, length, [&](std::size_t size, std::string& tail) {
        // A file shorter than the span is not traced: sending it fails too.
        return ReadAt(fd, offset + length - static_cast<std::int64_t>(size), size, tail);
    });
}

void TracePieces(Trace& trace, std::string_view prefix, std::span<const std::string_view> pieces) {
    if (trace.sink() != nullptr) {
        // Every line, for a trace that keeps them all.
        std::string lines;
        for (const std::string_view piece : pieces) {
            lines.append(piece);
        }
        trace.AppendLines(prefix, lines);
        return;
    }
    std::int64_t length = 0;
    for (const std::string_view piece : pieces) {
        length += static_cast<std::int64_t>(piece.size());
    }
    TraceTail(trace, prefix, length, [&](std::size_t size, std::string& tail) {
        tail.resize(size);
        std::size_t at = size;  // filled from the back
        for (auto piece = pieces.rbegin(); piece != pieces.rend() && at > 0; ++piece) {
            const std::size_t take = std::min(at, piece->size());
            at -= take;
            piece->substr(piece->size() - take).copy(tail.data() + at, take);
        }
        return true;
    });
}
