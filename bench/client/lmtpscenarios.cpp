// The delivery scenarios over LMTP. Each prints one "RESULT key=value ..." line; every
// delivery is checked (each reply code, then the recipient's folder: its message count and a
// few messages byte for byte), and any error fails the run.
#include "lmtpops.hpp"
#include "msggen.hpp"
#include "scenarios.hpp"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {
namespace {

Ms timeoutOf(const Args& a) {
    return Ms(a.num("timeout-ms", 30000));
}

// Where a user's messages land: STORE/USER, plus the server's own suffix (Dovecot: /Maildir).
std::string folderOf(const Args& a, const std::string& user) {
    return a.str("store") + "/" + user + a.str("folder-suffix", "");
}

std::uint64_t sizeOf(const Args& a) {
    return static_cast<std::uint64_t>(a.num("size", 2048));
}

// The DATA forms of `count` messages for `user`, made before the clock starts.
std::vector<std::string> dataForms(const Args& a, const std::string& user, long count,
                                   std::uint64_t firstSeed) {
    std::vector<std::string> out;
    for (long i = 0; i < count; ++i)
        out.push_back(dataForm(firstSeed + static_cast<std::uint64_t>(i), sizeOf(a), user));
    return out;
}

// One session per message: connect, LHLO, MAIL, RCPT, DATA, QUIT, close.
void sequentialSessions(const Args& a, const std::string& user,
                        const std::vector<std::string>& data) {
    const std::string rcpt = mailbox(user, a.str("domain", "localhost"));
    for (std::size_t i = 0; i < data.size(); ++i) {
        try {
            Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a));
            lmtpHello(c);
            lmtpSendOne(c, rcpt, data[i]);
            lmtpQuit(c);
        } catch (const std::exception& e) {
            throw NetError(user + " message " + std::to_string(i + 1) + ": " + e.what());
        }
    }
}

long statusKiB(long pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string k;
    while (f >> k) {
        if (k == key) {
            long v = -1;
            f >> v;
            return v;
        }
        f.ignore(1 << 20, '\n');
    }
    return -1;
}

void printRate(const char* unit, double amount, double ms, long deliveries) {
    std::printf("RESULT value=%.1f unit=%s ms=%.1f deliveries=%ld\n", amount / (ms / 1000.0), unit,
                ms, deliveries);
}

}  // namespace

int runLmtpSeq(const Args& a) {
    const std::string user = a.str("user");
    const long count = a.num("count");
    const auto data = dataForms(a, user, count, 1);
    const auto t0 = Clock::now();
    sequentialSessions(a, user, data);
    const double ms = msSince(t0);
    checkFolder(folderOf(a, user), static_cast<std::size_t>(count), sizeOf(a), user);
    printRate("deliveries/s", static_cast<double>(count), ms, count);
    return 0;
}

int runLmtpPipe(const Args& a) {
    const std::string user = a.str("user");
    const std::string rcpt = mailbox(user, a.str("domain", "localhost"));
    const long sessions = a.num("sessions"), per = a.num("per-session", 100);
    const auto data = dataForms(a, user, sessions * per, 1);
    // What may go without waiting: MAIL, RCPT and DATA, last in a group as DATA must be; and
    // a message's content, first in the next group.
    const std::string envelope =
        "MAIL FROM:<bench@localhost>\r\nRCPT TO:<" + rcpt + ">\r\nDATA\r\n";
    const auto t0 = Clock::now();
    for (long s = 0; s < sessions; ++s) {
        Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a));
        if (lmtpHello(c).find("PIPELINING") == std::string::npos)
            throw NetError("LHLO reply does not offer PIPELINING");
        c.sendAll(envelope);
        for (long k = 0; k < per; ++k) {
            const std::string what =
                "session " + std::to_string(s + 1) + " message " + std::to_string(k + 1);
            expectCode(c, 250, what + " MAIL");
            expectCode(c, 250, what + " RCPT");
            expectCode(c, 354, what + " DATA");
            const bool last = k + 1 == per;
            c.sendAll(data[static_cast<std::size_t>(s * per + k)] + (last ? "QUIT\r\n" : envelope));
            expectCode(c, 250, what + " end of data");
        }
        expectCode(c, 221, "QUIT");
    }
    const double ms = msSince(t0);
    checkFolder(folderOf(a, user), static_cast<std::size_t>(sessions * per), sizeOf(a), user);
    printRate("deliveries/s", static_cast<double>(sessions * per), ms, sessions * per);
    return 0;
}

int runLmtpBig(const Args& a) {
    const std::string user = a.str("user");
    const std::string data = dataForm(1, sizeOf(a), user);
    Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a));
    lmtpHello(c);
    c.sendAll("MAIL FROM:<bench@localhost>\r\nRCPT TO:<" +
              mailbox(user, a.str("domain", "localhost")) + ">\r\n");
    expectCode(c, 250, "MAIL");
    expectCode(c, 250, "RCPT");
    c.sendAll("DATA\r\n");
    expectCode(c, 354, "DATA");
    // From the first byte of the message to the server's word that it is stored.
    const auto t0 = Clock::now();
    c.sendAll(data);
    expectCode(c, 250, "end of data");
    const double ms = msSince(t0);
    lmtpQuit(c);
    checkFolder(folderOf(a, user), 1, sizeOf(a), user);
    printRate("MB/s", static_cast<double>(sizeOf(a)) / 1e6, ms, 1);
    return 0;
}

int runLmtpConc(const Args& a) {
    const long senders = a.num("senders", 20), per = a.num("count");
    std::vector<std::string> users;
    std::vector<std::vector<std::string>> data;
    for (long i = 0; i < senders; ++i) {
        char u[64];
        std::snprintf(u, sizeof u, "%s%02ld", a.str("user-prefix").c_str(), i);
        users.emplace_back(u);
        data.push_back(dataForms(a, u, per, 1));
    }
    std::latch go(1);
    std::mutex m;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < users.size(); ++i) {
        threads.emplace_back([&, i] {
            go.wait();
            try {
                sequentialSessions(a, users[i], data[i]);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> l(m);
                errors.push_back(e.what());
            }
        });
    }
    const auto t0 = Clock::now();
    go.count_down();
    for (auto& t : threads)
        t.join();
    const double ms = msSince(t0);
    for (const auto& e : errors)
        std::fprintf(stderr, "sender: %s\n", e.c_str());
    if (!errors.empty())
        throw NetError(std::to_string(errors.size()) + " of " + std::to_string(senders) +
                       " senders failed");
    for (const auto& u : users)
        checkFolder(folderOf(a, u), static_cast<std::size_t>(per), sizeOf(a), u);
    printRate("deliveries/s", static_cast<double>(senders * per), ms, senders * per);
    return 0;
}

int runLmtpMem(const Args& a) {
    const std::string user = a.str("user");
    const long pid = a.num("pid");
    const std::uint64_t size = sizeOf(a);
    const long base = statusKiB(pid, "VmRSS:"), hwmBefore = statusKiB(pid, "VmHWM:");
    std::atomic<long> peak{base};
    std::atomic<bool> stop{false};
    // Sampled every 5 ms; VmHWM afterwards catches a peak between two samples, when it rose.
    std::thread sampler([&] {
        while (!stop) {
            const long r = statusKiB(pid, "VmRSS:");
            if (r > peak)
                peak = r;
            std::this_thread::sleep_for(Ms(5));
        }
    });
    std::string error;
    double ms = 0;
    try {
        Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a));
        lmtpHello(c);
        c.sendAll("MAIL FROM:<bench@localhost>\r\n");
        expectCode(c, 250, "MAIL");
        c.sendAll("RCPT TO:<" + mailbox(user, a.str("domain", "localhost")) + ">\r\n");
        expectCode(c, 250, "RCPT");
        c.sendAll("DATA\r\n");
        expectCode(c, 354, "DATA");
        const auto t0 = Clock::now();
        std::string wire;
        streamMessage(1, size, user, [&](const std::string& chunk) {
            wire.clear();
            appendStuffed(wire, chunk);
            c.sendAll(wire);
        });
        c.sendAll(".\r\n");
        expectCode(c, 250, "end of data");
        ms = msSince(t0);
        lmtpQuit(c);
    } catch (const std::exception& e) {
        error = e.what();
    }
    stop = true;
    sampler.join();
    const long hwmAfter = statusKiB(pid, "VmHWM:");
    if (!error.empty())
        throw NetError(error);
    const long top = hwmAfter > hwmBefore ? std::max(hwmAfter, peak.load()) : peak.load();
    checkFolder(folderOf(a, user), 1, size, user);
    std::printf(
        "RESULT value=%.2f unit=MiB rss_base_kib=%ld rss_peak_kib=%ld hwm_before_kib=%ld "
        "hwm_after_kib=%ld mbps=%.1f bytes=%llu\n",
        static_cast<double>(top - base) / 1024.0, base, peak.load(), hwmBefore, hwmAfter,
        static_cast<double>(size) / 1e6 / (ms / 1000.0), static_cast<unsigned long long>(size));
    return 0;
}

}  // namespace bench
