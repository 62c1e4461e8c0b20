#include "responder.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ref {
namespace {

std::string upperWord(std::string_view line) {
    std::string word(line.substr(0, line.find(' ')));
    for (char& ch : word)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return word;
}

}  // namespace

Responder::Responder(int listenFd, Replies replies)
    : listen_(listenFd), epoll_(::epoll_create1(EPOLL_CLOEXEC)), replies_(std::move(replies)) {
    if (epoll_ < 0)
        throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
}

Responder::~Responder() {
    for (const auto& entry : connections_)
        ::close(entry.first);
    ::close(epoll_);
    ::close(listen_);
}

void Responder::run(const volatile std::sig_atomic_t& stop) {
    epoll_event events[256];
    while (!stop) {
        const int n = ::epoll_wait(epoll_, events, 256, 500);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listen_)
                acceptAll();
            else
                onEvent(events[i].data.fd, events[i].events);
        }
    }
}

void Responder::acceptAll() {
    for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // EAGAIN: all taken; anything else: the client gave up, nothing to serve
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        Connection& c = connections_[fd];
        c.fd = fd;
        c.out = "+OK reference responder ready\r\n";
        serve(c);
    }
}

void Responder::onEvent(int fd, std::uint32_t events) {
    const auto it = connections_.find(fd);
    if (it == connections_.end())
        return;
    Connection& c = it->second;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        char buf[4096];
        for (;;) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got > 0) {
                c.in.append(buf, static_cast<std::size_t>(got));
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            close(fd);  // end of input or an error: nothing more to answer
            return;
        }
    }
    serve(c);
}

bool Responder::serve(Connection& c) {
    // Each pass answers at least one buffered line or stops.
    for (;;) {
        while (!c.streaming() && !c.quitting) {
            const auto nl = c.in.find('\n');
            if (nl == std::string::npos)
                break;
            std::string_view line(c.in.data(), nl);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            answer(c, line);
            c.in.erase(0, nl + 1);
        }
        switch (flush(c)) {
            case Flush::Failed:
                close(c.fd);
                return false;
            case Flush::Blocked:
                watchOutput(c, true);
                return true;
            case Flush::Done:
                break;
        }
        if (c.quitting) {
            close(c.fd);
            return false;
        }
        if (c.in.find('\n') == std::string::npos) {
            watchOutput(c, false);
            return true;
        }
    }
}

void Responder::answer(Connection& c, std::string_view line) {
    const std::string word = upperWord(line);
    if (word == "USER" || word == "PASS" || word == "NOOP") {
        c.out += "+OK\r\n";
    } else if (word == "STAT") {
        c.out += "+OK " + replies_.stat + "\r\n";
    } else if (word == "RETR" && replies_.wireFd >= 0) {
        c.out += "+OK " + std::to_string(replies_.messageSize) + " octets\r\n";
        c.fileAt = 0;
        c.fileEnd = static_cast<std::int64_t>(replies_.wireSize);
    } else if (word == "QUIT") {
        c.out += "+OK\r\n";
        c.quitting = true;
    } else {
        c.out += "-ERR not here\r\n";
    }
}

Responder::Flush Responder::flush(Connection& c) {
    while (c.outSent < c.out.size()) {
        // MSG_MORE: the reply line leaves in the same segment as the start of the file.
        const int more = c.streaming() ? MSG_MORE : 0;
        const ssize_t n = ::send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT | more);
        if (n > 0) {
            c.outSent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Flush::Blocked;
        } else {
            return Flush::Failed;
        }
    }
    c.out.clear();
    c.outSent = 0;
    while (c.streaming()) {
        off_t at = c.fileAt;
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(c.fileEnd - at, 1 << 30));
        const ssize_t n = ::sendfile(c.fd, replies_.wireFd, &at, want);
        if (n > 0) {
            c.fileAt = at;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Flush::Blocked;
        } else {
            return Flush::Failed;  // a reset, or the file shrank (n == 0)
        }
    }
    return Flush::Done;
}

void Responder::watchOutput(Connection& c, bool on) {
    if (c.watchingOutput == on)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    ev.data.fd = c.fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.watchingOutput = on;
}

void Responder::close(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections_.erase(fd);
}

}  // namespace ref
