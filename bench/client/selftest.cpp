#include "selftest.hpp"

#include "dotstream.hpp"
#include "lmtpops.hpp"
#include "msggen.hpp"
#include "net.hpp"
#include "pop3ops.hpp"
#include "wire_form.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
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

// A child that uses 200 ms of CPU and reads 4 MiB, then exits and is reaped: the tree's CPU
// time and rchar must still hold what it did (the scenarios' CPU per session counts
// Dovecot's children that way).
void checkReapedChildCounts() {
    const TreeUsage before = treeUsage(::getpid(), false);
    const pid_t child = ::fork();
    if (child == 0) {
        const int zero = ::open("/dev/zero", O_RDONLY);
        static char buf[1 << 20];
        for (int i = 0; i < 4; ++i)
            (void)!::read(zero, buf, sizeof buf);
        timespec cpu{}, wall0{}, wall{};
        ::clock_gettime(CLOCK_MONOTONIC, &wall0);
        // Spins until it has had 200 ms of CPU, or 20 s have passed on a crowded machine.
        do {
            ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
            ::clock_gettime(CLOCK_MONOTONIC, &wall);
        } while (cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000 < 200 &&
                 wall.tv_sec - wall0.tv_sec < 20);
        ::_exit(0);
    }
    int status = 0;
    expect(child > 0 && ::waitpid(child, &status, 0) == child, "child ran and was reaped");
    const TreeUsage after = treeUsage(::getpid(), false);
    const double cpuMs =
        static_cast<double>(after.cpuTicks - before.cpuTicks) * microsecondsPerTick() / 1000.0;
    expect(cpuMs >= 180, "a reaped child's CPU time stays in the tree's");
    expect(after.rchar - before.rchar >= (4 << 20), "a reaped child's reads stay in the tree's");
}

// The reference responder's wire form, made from a file in 1 MiB pieces, against stuff():
// a generated message, a line start that falls on a piece boundary, no CR LF at the end.
void checkWireForm(const std::string& generated) {
    const std::string boundary = std::string((1 << 20) - 2, 'a') + "\r\n.x\r\n";
    const struct {
        std::string message, wire;
    } cases[] = {
        {generated, stuff(generated)},
        {boundary, stuff(boundary)},
        {"a\r\n.b", "a\r\n..b\r\n.\r\n"},
        {"", ".\r\n"},
    };
    char dir[] = "/tmp/pop3bench-selftest.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        expect(false, "temporary folder for the wire form");
        return;
    }
    const std::string in = std::string(dir) + "/message", out = std::string(dir) + "/wire";
    for (const auto& c : cases) {
        std::ofstream(in, std::ios::binary) << c.message;
        std::uint64_t size = 0;
        try {
            size = ref::writeWireForm(in, out);
        } catch (const std::exception&) {
        }
        std::stringstream wire;
        wire << std::ifstream(out, std::ios::binary).rdbuf();
        expect(wire.str() == c.wire && size == c.wire.size(), "reference wire form");
    }
    ::unlink(in.c_str());
    ::unlink(out.c_str());
    ::rmdir(dir);
}

// The LMTP side: the DATA form is what the POP3 stuffing gives, and the stored-copy check
// takes what servers really store (added header lines, LF line ends) and nothing else.
void checkLmtpParts() {
    const std::string m = makeMessage(42, 5000, "u");
    expect(dataForm(42, 5000, "u") == stuff(m), "LMTP DATA form is the stuffed message");
    // lmtpmem stuffs the generator's pieces one at a time: they must end at line ends.
    std::string pieces;
    streamMessage(44, 3 << 20, "u", [&](const std::string& p) { appendStuffed(pieces, p); });
    expect(pieces + ".\r\n" == stuff(makeMessage(44, 3 << 20, "u")),
           "a message stuffed piece by piece is stuffed whole");
    const std::string lf = [&] {
        std::string out;
        for (char c : m)
            if (c != '\r')
                out += c;
        return out;
    }();
    const std::string added = "Return-Path: <bench@localhost>\r\nDelivered-To: u@localhost\r\n";
    std::string changed = m;
    changed[4000] ^= 1;
    const struct {
        std::string stored;
        bool good;
        const char* what;
    } cases[] = {
        {m, true, "stored copy as sent"},
        {added + m, true, "stored copy with added header lines"},
        {lf, true, "stored copy with LF line ends"},
        {stuff(m), false, "stored copy still stuffed"},
        {changed, false, "stored copy with a changed byte"},
        {m.substr(0, 4000), false, "stored copy cut short"},
        {m + "x\r\n", false, "stored copy with bytes after the body"},
        {makeMessage(43, 5000, "u"), true, "another message, checked against its own seed"},
    };
    char dir[] = "/tmp/pop3bench-selftest.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        expect(false, "temporary folder for stored copies");
        return;
    }
    const std::string path = std::string(dir) + "/stored";
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary) << c.stored;
        bool accepted = true;
        try {
            checkStored(path, 5000, "u");
        } catch (const std::exception&) {
            accepted = false;
        }
        expect(accepted == c.good, c.what);
    }
    std::ofstream(std::string(dir) + "/.hidden", std::ios::binary) << "x";
    expect(storedMessages(dir).size() == 1, "hidden files are not messages");
    ::unlink((std::string(dir) + "/.hidden").c_str());
    ::unlink(path.c_str());
    ::rmdir(dir);
}

// Reply parsing over a real loopback connection: a server's canned bytes, the code expected,
// and whether they make one good reply (a wrong code, a continuation read as the end, or a
// line that is no reply would put a pipelined run out of step).
void checkLmtpReplies() {
    const struct {
        std::string bytes;
        int code;
        bool good;
        std::string rest;  // the next reply, which must not have been taken with this one
    } cases[] = {
        {"250 OK\r\n", 250, true, ""},
        {"250-host\r\n250-PIPELINING\r\n250 8BITMIME\r\n354 go\r\n", 250, true, "354 go"},
        {"250\r\n221 bye\r\n", 250, true, "221 bye"},
        {"451 4.3.0 later\r\n", 250, false, ""},
        {"250-host\r\n354 go\r\n", 250, false, ""},
        {"2500 OK\r\n", 250, false, ""},
        {"+OK\r\n", 250, false, ""},
    };
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(lfd, 8) != 0 || ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        expect(false, "loopback listener for the reply cases");
        if (lfd >= 0)
            ::close(lfd);
        return;
    }
    for (const auto& c : cases) {
        Conn conn(ntohs(a.sin_port), 0, Ms(5000));
        const int s = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        (void)!::write(s, c.bytes.data(), c.bytes.size());
        ::close(s);
        bool good = true;
        try {
            expectCode(conn, c.code, "case");
            if (!c.rest.empty())
                good = conn.readLine() == c.rest;
        } catch (const std::exception&) {
            good = false;
        }
        expect(good == c.good, ("LMTP reply: " + c.bytes.substr(0, 20)).c_str());
    }
    ::close(lfd);
}

}  // namespace

int selfTest() {
    checkReapedChildCounts();
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

    checkWireForm(m);
    checkLmtpParts();
    checkLmtpReplies();
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
