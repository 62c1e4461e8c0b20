// pop3bench: the benchmark client and its helpers (maildrops, probes).
#include "args.hpp"
#include "lmtpops.hpp"
#include "msggen.hpp"
#include "net.hpp"
#include "scenarios.hpp"
#include "selftest.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace bench;

namespace {

const char* kUsage =
    "usage: pop3bench COMMAND --key value ...\n"
    "  retr | list | sessions | concurrent | slowreader | idle | retrreset\n"
    "                                   measured scenarios\n"
    "                                   (--tls 1: over implicit TLS)\n"
    "  lmtpseq | lmtppipe | lmtpbig | lmtpconc | lmtpmem\n"
    "                                   delivery scenarios over LMTP\n"
    "  maildrop --user U --count N --size BYTES --seed S --drennik ROOT [--maildir ROOT]...\n"
    "  probe --port P [--wait-ms MS] [--lmtp 1]\n"
    "                                   waits for a +OK greeting (LMTP: 220)\n"
    "  freeport                         prints a free loopback port\n"
    "  selftest                         checks the reply checker, prints its speed\n";

int probe(const Args& a) {
    auto deadline = Clock::now() + Ms(a.num("wait-ms", 10000));
    std::string last;
    // Bounded by the deadline: retry every 100 ms while the server starts.
    while (Clock::now() < deadline) {
        try {
            Conn c(static_cast<int>(a.num("port")), 0, Ms(2000));
            if (a.num("lmtp", 0) != 0)
                expectCode(c, 220, "greeting");
            else
                c.expectOk();
            c.sendAll("QUIT\r\n");
            return 0;
        } catch (const std::exception& e) {
            last = e.what();
        }
        std::this_thread::sleep_for(Ms(100));
    }
    std::fprintf(stderr, "probe: no greeting on port %lld: %s\n",
                 static_cast<long long>(a.num("port")), last.c_str());
    return 1;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("freeport");
        return 1;
    }
    std::printf("%d\n", ntohs(a.sin_port));
    ::close(fd);
    return 0;
}

int maildrop(const Args& a) {
    MaildropPlan s;
    s.user = a.str("user");
    s.count = static_cast<std::size_t>(a.num("count", 1));
    s.size = static_cast<std::uint64_t>(a.num("size"));
    s.seed = static_cast<std::uint64_t>(a.num("seed", 1));
    s.drennikRoot = a.str("drennik");
    s.maildirRoots = a.all("maildir");
    writeMaildrop(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string cmd = argv[1];
    try {
        Args a(argc, argv, 2);
        if (a.num("tls", 0) != 0)
            useTls();
        const struct {
            const char* name;
            int (*run)(const Args&);
        } commands[] = {
            {"retr", runRetr},
            {"list", runList},
            {"sessions", runSessions},
            {"retrreset", runRetrReset},
            {"concurrent", runConcurrent},
            {"slowreader", runSlowReader},
            {"idle", runIdle},
            {"lmtpseq", runLmtpSeq},
            {"lmtppipe", runLmtpPipe},
            {"lmtpbig", runLmtpBig},
            {"lmtpconc", runLmtpConc},
            {"lmtpmem", runLmtpMem},
            {"maildrop", maildrop},
            {"probe", probe},
            {"freeport", [](const Args&) { return freePort(); }},
            {"selftest", [](const Args&) { return selfTest(); }},
        };
        for (const auto& command : commands) {
            if (cmd == command.name)
                return command.run(a);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pop3bench %s: %s\n", cmd.c_str(), e.what());
        return 1;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
