#include "dotstream.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bench {

std::string visible(const char* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c < 32 || c > 126) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else
            s += static_cast<char>(c);
    }
    return s;
}

void DotStreamChecker::fail(const std::string& why, const char* got, std::size_t n) {
    std::size_t from = pos_ >= 24 ? pos_ - 24 : 0;
    std::size_t to = std::min(exp_.size(), pos_ + 24);
    err_ = why + " at file offset " + std::to_string(pos_) + " (reply body byte " +
           std::to_string(wire_ + static_cast<std::size_t>(got - feedStart_)) +
           "); file bytes there: \"" + visible(exp_.data() + from, to - from) + "\" (offset " +
           std::to_string(from) + "), received: \"" + visible(got, std::min<std::size_t>(n, 48)) +
           "\"";
}

void DotStreamChecker::emit(const char* p, std::size_t n) {
    if (n > exp_.size() - pos_) {
        fail("more bytes than the file holds", p, n);
        return;
    }
    if (std::memcmp(p, exp_.data() + pos_, n) != 0) {
        std::size_t k = 0;
        while (p[k] == exp_[pos_ + k])
            ++k;
        pos_ += k;
        fail("byte differs from the file", p + k, n - k);
        return;
    }
    pos_ += n;
}

std::size_t DotStreamChecker::feed(const char* p, std::size_t n) {
    std::size_t i = 0;
    feedStart_ = p;
    while (i < n && !done_ && err_.empty()) {
        switch (st_) {
            case St::LineStart:
                if (p[i] == '.') {
                    st_ = St::Dot;
                    ++i;
                } else {
                    st_ = St::Mid;
                }
                break;
            case St::Dot:
                // ".\r\n" ends the reply; otherwise the leading dot was stuffing.
                if (p[i] == '\r') {
                    st_ = St::DotCr;
                    ++i;
                } else {
                    st_ = St::Mid;
                }
                break;
            case St::DotCr:
                if (p[i] != '\n') {
                    fail("\".\\r\" not followed by \\n", p + i, n - i);
                    break;
                }
                ++i;
                done_ = true;
                if (pos_ != exp_.size())
                    fail("reply ended early (" + std::to_string(exp_.size() - pos_) +
                             " bytes missing)",
                         p + i, 0);
                break;
            case St::Mid: {
                auto* nl = static_cast<const char*>(std::memchr(p + i, '\n', n - i));
                std::size_t end = nl ? static_cast<std::size_t>(nl - p) + 1 : n;
                emit(p + i, end - i);
                i = end;
                if (nl)
                    st_ = St::LineStart;
                break;
            }
        }
    }
    wire_ += i;
    return i;
}

}  // namespace bench
