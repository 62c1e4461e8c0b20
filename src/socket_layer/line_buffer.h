#pragma once
// Received bytes of one connection, cut into lines at CR LF. Bytes are kept exactly: nothing
// is trimmed, NUL and 8-bit bytes pass through, a line split across reads is joined.

#include "socket_layer/flow_limits.h"

#include <cstddef>
#include <string>
#include <string_view>

class LineBuffer {
public:
    // Longest line accepted, without its CR LF.
    static constexpr std::size_t kMaxLine = flow::kMaxLine;

    // Room for `capacity` more bytes; write into it, then Commit how many arrived.
    char* PrepareAppend(std::size_t capacity);
    void Commit(std::size_t count);
    void Append(std::string_view bytes);

    // The next complete line without its CR LF, if one is buffered.
    bool PopLine(std::string& line);
    bool HasLine() const;
    // True when the unfinished line has grown past kMaxLine without a CR LF.
    bool Overlong() const;
    std::size_t pending() const { return data_.size() - start_; }

private:
    std::size_t FindLineEnd() const;

    std::string data_;
    std::size_t start_ = 0;            // first byte not yet returned
    std::size_t prepared_ = 0;         // bytes PrepareAppend added beyond the data
    mutable std::size_t scanned_ = 0;  // bytes from start_ known to hold no CR LF
};
