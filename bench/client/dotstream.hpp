// Checks a dot-stuffed multi-line body (RFC 1939 section 3) against the
// expected file bytes while it streams in, so nothing is stored.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace bench {

class DotStreamChecker {
public:
    explicit DotStreamChecker(std::span<const char> expected) : exp_(expected) {}

    // Consumes bytes up to and including the final ".\r\n"; returns how many
    // were used. Stops early on the first mismatch (see failed()).
    std::size_t feed(const char* p, std::size_t n);

    bool done() const { return done_; }
    bool failed() const { return !err_.empty(); }
    const std::string& error() const { return err_; }
    std::size_t matched() const { return pos_; }
    std::size_t wireBytes() const { return wire_; }

private:
    enum class St { LineStart, Dot, DotCr, Mid };
    void emit(const char* p, std::size_t n);
    void fail(const std::string& why, const char* got, std::size_t n);

    std::span<const char> exp_;
    std::size_t pos_ = 0, wire_ = 0;
    const char* feedStart_ = nullptr;
    St st_ = St::LineStart;
    bool done_ = false;
    std::string err_;
};

// Escapes bytes for an error report: CR LF and controls visible.
std::string visible(const char* p, std::size_t n);

}  // namespace bench
