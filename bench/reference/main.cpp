// pop3ref: the reference responder (see responder.hpp).
//   pop3ref [--port N] [--stat "COUNT SIZE"] [--message FILE [--wire-dir DIR]]
// Prints "listening on port N" once it accepts; TERM or INT end it.
#include "args.hpp"
#include "responder.hpp"
#include "wire_form.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

int listenOn(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(fd, 1024) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    return fd;
}

// The wire form of `message` in a file that is gone from its folder once opened, so that
// nothing is left behind however the program ends.
ref::Replies wireReplies(const std::string& message, const std::string& dir) {
    std::string path = dir + "/pop3ref-wire.XXXXXX";
    const int tmp = ::mkstemp(path.data());
    if (tmp < 0)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    ::close(tmp);
    ref::Replies r;
    try {
        r.wireSize = ref::writeWireForm(message, path);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    r.wireFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ::unlink(path.c_str());
    struct stat st {};
    if (r.wireFd < 0 || ::stat(message.c_str(), &st) != 0)
        throw std::runtime_error(message + ": " + std::strerror(errno));
    r.messageSize = static_cast<std::uint64_t>(st.st_size);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv, 1);
        ref::Replies replies;
        if (args.has("message")) {
            const char* tmp = std::getenv("TMPDIR");
            replies = wireReplies(args.str("message"), args.str("wire-dir", tmp ? tmp : "/tmp"));
        }
        replies.stat = args.str("stat", replies.stat);
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;  // no SA_RESTART: epoll_wait returns at once
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);  // sendfile to a reset peer would raise it
        const int fd = listenOn(static_cast<int>(args.num("port", 0)));
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ref::Responder responder(fd, replies);
        std::printf("listening on port %d\n", ntohs(a.sin_port));
        std::fflush(stdout);
        responder.run(stopRequested);
        if (replies.wireFd >= 0)
            ::close(replies.wireFd);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pop3ref: %s\n", e.what());
        return 1;
    }
}
