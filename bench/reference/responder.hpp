// The least a POP3 server can do for the benchmark's sessions and RETR: one epoll loop over
// non-blocking sockets answering with fixed replies, and RETR by sendfile() of a ready wire
// form. A floor to measure servers against, not a server: it checks no names or passwords.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ref {

struct Replies {
    std::string stat = "1 1";  // what follows "+OK " in the STAT reply
    int wireFd = -1;           // RETR sends this file whole; -1: RETR is refused
    std::uint64_t wireSize = 0;
    std::uint64_t messageSize = 0;  // shown in the RETR reply's first line
};

class Responder {
public:
    // listenFd: a bound, listening, non-blocking socket, owned from now on.
    Responder(int listenFd, Replies replies);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Serves until stop is set (looked at after every wake-up, at least twice a second).
    void run(const volatile std::sig_atomic_t& stop);

private:
    struct Connection {
        int fd = -1;
        std::string in;
        std::string out;
        std::size_t outSent = 0;
        std::int64_t fileAt = 0, fileEnd = 0;  // the part of the wire form still to send
        bool quitting = false;                 // close once the output is out
        bool watchingOutput = false;
        bool streaming() const { return fileAt < fileEnd; }
    };
    enum class Flush { Done, Blocked, Failed };

    void acceptAll();
    void onEvent(int fd, std::uint32_t events);
    // Answers buffered lines and writes; false when the connection was closed.
    bool serve(Connection& c);
    void answer(Connection& c, std::string_view line);
    Flush flush(Connection& c);
    void watchOutput(Connection& c, bool on);
    void close(int fd);

    int listen_;
    int epoll_;
    Replies replies_;
    std::unordered_map<int, Connection> connections_;
};

}  // namespace ref
