#include "net.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {

namespace {
SSL_CTX* tlsContext = nullptr;
}  // namespace

void useTls() {
    if (tlsContext == nullptr) {
        tlsContext = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(tlsContext, TLS1_2_VERSION);
        SSL_CTX_set_verify(tlsContext, SSL_VERIFY_NONE, nullptr);
        // Every session a full handshake, as for a client seen for the first time.
        SSL_CTX_set_session_cache_mode(tlsContext, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(tlsContext, SSL_OP_NO_TICKET);
        SSL_CTX_set_mode(tlsContext, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
}

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

static std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

Conn::Conn(int port, int rcvbuf, Ms timeout, std::size_t bufSize)
    : buf_(new char[bufSize]), cap_(bufSize), timeout_(timeout) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw NetError(errnoText("socket"));
    if (rcvbuf > 0) {
        // FORCE passes net.core.rmem_max when root; plain is the fallback.
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            auto e = errnoText("connect");
            ::close(fd_);
            throw NetError(e);
        }
        try {
            waitFor(POLLOUT);
        } catch (...) {
            ::close(fd_);
            throw;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            ::close(fd_);
            throw NetError(std::string("connect: ") + std::strerror(err));
        }
    }
    if (tlsContext != nullptr) {
        ssl_ = SSL_new(tlsContext);
        SSL_set_fd(ssl_, fd_);
        SSL_set_connect_state(ssl_);
        try {
            handshake();
        } catch (...) {
            SSL_free(ssl_);
            ::close(fd_);
            throw;
        }
    }
}

Conn::~Conn() {
    SSL_free(ssl_);
    if (fd_ >= 0)
        ::close(fd_);
}

void Conn::reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
}

void Conn::handshake() {
    for (;;) {
        const int r = SSL_do_handshake(ssl_);
        if (r == 1)
            return;
        const int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ)
            waitFor(POLLIN);
        else if (e == SSL_ERROR_WANT_WRITE)
            waitFor(POLLOUT);
        else
            throw NetError("TLS handshake failed: " +
                           std::string(ERR_error_string(ERR_get_error(), nullptr)));
    }
}

long Conn::tlsIo(bool reading, char* data, std::size_t size) {
    const int n = reading ? SSL_read(ssl_, data, static_cast<int>(size))
                          : SSL_write(ssl_, data, static_cast<int>(size));
    if (n > 0)
        return n;
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_READ:
            waitFor(POLLIN);
            return -1;
        case SSL_ERROR_WANT_WRITE:
            waitFor(POLLOUT);
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        default:
            throw NetError("TLS " + std::string(reading ? "read" : "write") +
                           " failed: " + std::string(ERR_error_string(ERR_get_error(), nullptr)));
    }
}

void Conn::waitFor(short events) {
    pollfd p{fd_, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, static_cast<int>(timeout_.count()));
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        throw NetError("timeout after " + std::to_string(timeout_.count()) + " ms");
    if (r < 0)
        throw NetError(errnoText("poll"));
}

bool Conn::recvSome(std::size_t maxBytes) {
    if (head_ == tail_)
        head_ = tail_ = 0;
    if (tail_ == cap_) {
        if (head_ == 0)
            throw NetError("line or reply too long for buffer");
        std::memmove(buf_.get(), buf_.get() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    std::size_t want = std::min(cap_ - tail_, maxBytes);
    while (ssl_ != nullptr) {
        const long n = tlsIo(true, buf_.get() + tail_, std::min<std::size_t>(want, 1 << 30));
        if (n > 0) {
            tail_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0)
            return false;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buf_.get() + tail_, want, MSG_DONTWAIT);
        if (n > 0) {
            tail_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw NetError(errnoText("recv"));
        waitFor(POLLIN);
    }
}

std::string Conn::readLine() {
    std::size_t scanned = 0;
    for (;;) {
        const char* b = buf_.get() + head_;
        std::size_t n = tail_ - head_;
        if (auto* nl = static_cast<const char*>(std::memchr(b + scanned, '\n', n - scanned))) {
            std::size_t len = static_cast<std::size_t>(nl - b);
            if (len == 0 || b[len - 1] != '\r')
                throw NetError("line not ended by CR LF");
            std::string line(b, len - 1);
            head_ += len + 1;
            return line;
        }
        scanned = n;
        if (n > 8192)
            throw NetError("reply line longer than 8192 bytes");
        // scanned counts from head_, which recvSome may move but keeps valid.
        if (!recvSome())
            throw NetError("connection closed by server");
    }
}

void Conn::sendAll(std::string_view data) {
    while (ssl_ != nullptr && !data.empty()) {
        std::string piece(data.substr(0, 1 << 20));
        const long n = tlsIo(false, piece.data(), piece.size());
        if (n == 0)
            throw NetError("TLS: connection closed by server");
        if (n > 0)
            data.remove_prefix(static_cast<std::size_t>(n));
    }
    while (!data.empty()) {
        ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitFor(POLLOUT);
        } else {
            throw NetError(errnoText("send"));
        }
    }
}

std::string Conn::expectOk() {
    std::string l = readLine();
    if (l.rfind("+OK", 0) != 0)
        throw NetError("expected +OK, got: " + l.substr(0, 200));
    return l;
}

std::string Conn::cmd(std::string_view line) {
    std::string s(line);
    s += "\r\n";
    sendAll(s);
    try {
        return expectOk();
    } catch (const NetError& e) {
        throw NetError(std::string(line.substr(0, line.find(' '))) + ": " + e.what());
    }
}

}  // namespace bench
