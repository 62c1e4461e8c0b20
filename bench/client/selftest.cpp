#include "selftest.hpp"

#include "dotstream.hpp"
#include "msggen.hpp"
#include "net.hpp"

#include <cstdio>
#include <string>

namespace bench {
namespace {

std::string stuff(const std::string& m) {
    std::string out;
    out.reserve(m.size() + m.size() / 32 + 8);
    bool bol = true;
    for (char c : m) {
        if (bol && c == '.')
            out += '.';
        out += c;
        bol = c == '\n';
    }
    return out + ".\r\n";
}

bool check(const std::string& file, const std::string& wire, std::size_t step) {
    DotStreamChecker chk({file.data(), file.size()});
    for (std::size_t i = 0; i < wire.size() && !chk.done() && !chk.failed(); i += step) {
        std::string_view piece(wire.data() + i, std::min(step, wire.size() - i));
        std::size_t used = 0;
        while (used < piece.size() && !chk.done() && !chk.failed())
            used += chk.feed(piece.data() + used, piece.size() - used);
    }
    return chk.done() && !chk.failed();
}

int fails = 0;
void expect(bool ok, const char* what) {
    if (!ok) {
        ++fails;
        std::fprintf(stderr, "selftest FAILED: %s\n", what);
    }
}

}  // namespace

int selfTest() {
    const std::string m = makeMessage(7, 200000, "t");
    expect(m.size() == 200000, "generator gives the exact size");
    std::size_t dotLines = 0, longest = 0, start = 0;
    bool crlf = true;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (m[i] != '\n')
            continue;
        crlf = crlf && i > 0 && m[i - 1] == '\r';
        longest = std::max(longest, i + 1 - start);
        if (m[start] == '.')
            ++dotLines;
        start = i + 1;
    }
    expect(crlf && start == m.size(), "every line ends with CR LF");
    expect(longest <= 78, "lines are at most 76 characters");
    expect(dotLines > 50, "some lines start with '.'");

    const std::string w = stuff(m);
    expect(check(m, w, w.size()), "stuffed reply accepted whole");
    expect(check(m, w, 1), "stuffed reply accepted byte by byte");
    expect(check(m, w, 77), "stuffed reply accepted in odd pieces");
    expect(!check(m, m + ".\r\n", 4096), "unstuffed reply rejected");
    expect(!check(m, w.substr(0, 1000) + ".\r\n", 4096), "short reply rejected");
    std::string flipped = w;
    flipped[150000] ^= 1;
    expect(!check(m, flipped, 4096), "changed byte rejected");

    // Speed of the checker on a 64 MiB reply fed in 1 MiB pieces.
    const std::string big = makeMessage(9, 64 << 20, "t");
    const std::string bigWire = stuff(big);
    auto t0 = Clock::now();
    expect(check(big, bigWire, 1 << 20), "64 MiB reply accepted");
    double ms = msSince(t0);
    std::printf("RESULT checker_mbps=%.0f selftest=%s\n",
                static_cast<double>(bigWire.size()) / 1e6 / (ms / 1000.0), fails ? "FAIL" : "ok");
    return fails ? 1 : 0;
}

}  // namespace bench
