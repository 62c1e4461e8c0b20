// One POP3 client connection over loopback: buffered line reads, bulk
// receive, and a deadline on every wait so no run can hang.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

struct ssl_st;

namespace bench {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct NetError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double msSince(Clock::time_point t0);

// From now on every connection speaks TLS from its first byte (implicit TLS), without
// checking the server's certificate: what is measured is the servers' cost, not trust.
void useTls();

class Conn {
public:
    // rcvbuf: SO_RCVBUF bytes, 0 leaves the kernel's autotuning on.
    Conn(int port, int rcvbuf, Ms timeout, std::size_t bufSize = 256 * 1024);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    std::string readLine();  // without CR LF
    void sendAll(std::string_view data);
    std::string cmd(std::string_view line);  // sends line, expects "+OK"
    std::string expectOk();                  // reads a line, expects "+OK"
    // Closes at once with a reset (SO_LINGER 0), whatever is still unread.
    void reset();

    // Bulk access: bytes already buffered, then drop n of them.
    std::span<const char> buffered() const { return {buf_.get() + head_, tail_ - head_}; }
    void consume(std::size_t n) { head_ += n; }
    // Receives up to maxBytes more (waits until some arrive); false on EOF.
    bool recvSome(std::size_t maxBytes = static_cast<std::size_t>(-1));

private:
    void waitFor(short events);
    void handshake();
    // One TLS read or write; returns bytes moved, 0 at end of stream, or -1 after waiting for
    // the readiness TLS asked for.
    long tlsIo(bool reading, char* data, std::size_t size);
    int fd_ = -1;
    ssl_st* ssl_ = nullptr;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_, head_ = 0, tail_ = 0;
    Ms timeout_;
};

// Reads a multi-line reply body up to the final "." line (the "+OK" line
// must already be consumed); returns the lines, unstuffed.
template <class F>
void readMultiLine(Conn& c, F&& onLine, std::size_t maxLines) {
    for (std::size_t i = 0; i <= maxLines; ++i) {
        std::string l = c.readLine();
        if (l == ".")
            return;
        if (!l.empty() && l[0] == '.')
            l.erase(0, 1);
        onLine(l);
    }
    throw NetError("multi-line reply longer than expected");
}

}  // namespace bench
