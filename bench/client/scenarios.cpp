// The measured scenarios. Each prints one "RESULT key=value ..." line and
// throws on any protocol or content error.
#include "scenarios.hpp"

#include "pop3ops.hpp"

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

long rssKiB(long pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmRSS:") {
            long v = -1;
            f >> v;
            return v;
        }
        f.ignore(1 << 20, '\n');
    }
    return -1;
}

}  // namespace

int runRetr(const Args& a) {
    MappedFile file(a.str("file"));
    // Default 0: kernel autotuning grows the buffer (tcp_rmem max); a forced
    // SO_RCVBUF measured slower against Dovecot here.
    Conn c(static_cast<int>(a.num("port")), static_cast<int>(a.num("rcvbuf", 0)), timeoutOf(a),
           4 << 20);
    login(c, a.str("user"));
    double ms = retrChecked(c, static_cast<int>(a.num("msg", 1)), file.bytes());
    c.cmd("QUIT");
    double mbps = static_cast<double>(file.bytes().size()) / 1e6 / (ms / 1000.0);
    std::printf("RESULT value=%.1f unit=MB/s ms=%.2f bytes=%zu\n", mbps, ms, file.bytes().size());
    return 0;
}

int runList(const Args& a) {
    const long count = a.num("count");
    const long size = a.num("size");
    Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a), 1 << 20);
    c.expectOk();
    const std::string user = a.str("user");
    c.cmd("USER " + user);
    auto t0 = Clock::now();
    c.cmd("PASS " + user);
    c.cmd("LIST");
    long next = 1;
    readMultiLine(
        c,
        [&](const std::string& l) {
            long n = 0, s = 0;
            if (std::sscanf(l.c_str(), "%ld %ld", &n, &s) != 2 || n != next || s != size)
                throw NetError("LIST line " + std::to_string(next) + " unexpected: " + l);
            ++next;
        },
        static_cast<std::size_t>(count));
    double ms = msSince(t0);
    if (next - 1 != count)
        throw NetError("LIST gave " + std::to_string(next - 1) + " of " + std::to_string(count));
    c.cmd("QUIT");
    std::printf("RESULT value=%.2f unit=ms messages=%ld\n", ms, count);
    return 0;
}

int runSessions(const Args& a) {
    const long count = a.num("count", 500);
    const int port = static_cast<int>(a.num("port"));
    const std::string user = a.str("user");
    const long msgs = a.num("messages");
    // CPU time of the server's process tree (and of a helper such as the X server) over the
    // run, sampled outside the timed loop.
    const long pid = a.num("pid", 0), extraPid = a.num("extra-pid", 0);
    TreeUsage before, extraBefore;
    if (pid > 0)
        before = treeUsage(pid, false);
    if (extraPid > 0)
        extraBefore = treeUsage(extraPid, false);
    auto t0 = Clock::now();
    for (long i = 0; i < count; ++i) {
        try {
            shortSession(port, user, msgs, timeoutOf(a));
        } catch (const std::exception& e) {
            throw NetError("session " + std::to_string(i + 1) + ": " + e.what());
        }
    }
    double ms = msSince(t0);
    std::printf("RESULT value=%.1f unit=sessions/s ms=%.1f sessions=%ld",
                static_cast<double>(count) / (ms / 1000.0), ms, count);
    const auto perSession = [count](double us) { return us / static_cast<double>(count); };
    if (pid > 0) {
        const TreeUsage after = treeUsage(pid, false);
        const long long ticks = after.cpuTicks - before.cpuTicks;
        std::printf(
            " cpu_us_per_session=%.2f cpu_ticks=%lld sched_us_per_session=%.2f processes=%d",
            perSession(static_cast<double>(ticks) * microsecondsPerTick()), ticks,
            perSession(static_cast<double>(after.cpuNs - before.cpuNs) / 1000.0), after.processes);
    }
    if (extraPid > 0) {
        const TreeUsage after = treeUsage(extraPid, false);
        std::printf(" extra_cpu_us_per_session=%.2f",
                    perSession(static_cast<double>(after.cpuTicks - extraBefore.cpuTicks) *
                               microsecondsPerTick()));
    }
    std::printf("\n");
    return 0;
}

int runRetrReset(const Args& a) {
    const long long size = a.num("size");
    const Ms settle(a.num("settle-ms", 1000));
    Conn c(static_cast<int>(a.num("port")), 0, timeoutOf(a), 1 << 20);
    login(c, a.str("user"));
    // Logged in: the process that serves this connection exists (Dovecot starts one per
    // login when it does not reuse them), so the tree can be listed once, before RETR.
    const std::vector<long> pids = treePids(a.num("pid"));
    const long long atRetr = fileBytesOf(pids);
    c.sendAll("RETR 1\r\n");
    c.expectOk();
    const long long atReset = fileBytesOf(pids);
    c.reset();
    // The server has stopped reading the file once what it may have read of files (read calls,
    // and mapped pages faulted in) grows by less than 256 KiB in
    // `settle` (an event loop's wake-ups read a few bytes each); bounded by the timeout
    // (reading the whole message takes a few seconds at most).
    const long long kQuiet = 256 << 10;
    const auto deadline = Clock::now() + timeoutOf(a);
    long long mark = atReset, last = atReset;
    auto still = Clock::now();
    while (Clock::now() < deadline && Clock::now() - still < settle) {
        std::this_thread::sleep_for(Ms(20));
        last = fileBytesOf(pids);
        if (last - mark >= kQuiet) {
            mark = last;
            still = Clock::now();
        }
    }
    const bool settled = Clock::now() - still >= settle;
    // The server must still serve: a fresh session sees the message.
    shortSession(static_cast<int>(a.num("port")), a.str("user"), 1, timeoutOf(a));
    const auto mib = [](long long bytes) { return static_cast<double>(bytes) / (1 << 20); };
    std::printf(
        "RESULT value=%.2f unit=MiB read_after_reset=%lld read_before_reset=%lld settled=%d "
        "message_bytes=%lld processes=%zu\n",
        mib(last - atReset), last - atReset, atReset - atRetr, settled ? 1 : 0, size, pids.size());
    if (!settled)
        throw NetError("the server was still reading " + std::to_string(timeoutOf(a).count()) +
                       " ms after the reset");
    return 0;
}

int runConcurrent(const Args& a) {
    const int clients = static_cast<int>(a.num("clients", 100));
    const int port = static_cast<int>(a.num("port"));
    const std::string prefix = a.str("user-prefix", "c");
    const std::string root = a.str("root");  // Drennik layout: ROOT/USER/000001.msg
    std::vector<std::unique_ptr<MappedFile>> files;
    std::vector<std::string> users;
    for (int i = 0; i < clients; ++i) {
        char u[32];
        std::snprintf(u, sizeof u, "%s%03d", prefix.c_str(), i);
        users.emplace_back(u);
        files.push_back(std::make_unique<MappedFile>(root + "/" + u + "/000001.msg"));
    }
    std::latch go(1);
    std::atomic<int> failures{0};
    std::mutex m;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            go.wait();
            try {
                Conn c(port, 0, timeoutOf(a), 256 * 1024);
                login(c, users[static_cast<std::size_t>(i)]);
                retrChecked(c, 1, files[static_cast<std::size_t>(i)]->bytes());
                c.cmd("QUIT");
            } catch (const std::exception& e) {
                ++failures;
                std::lock_guard<std::mutex> l(m);
                errors.push_back(users[static_cast<std::size_t>(i)] + ": " + e.what());
            }
        });
    }
    auto t0 = Clock::now();
    go.count_down();
    for (auto& t : threads)
        t.join();
    double ms = msSince(t0);
    for (std::size_t i = 0; i < errors.size() && i < 5; ++i)
        std::fprintf(stderr, "concurrent failure: %s\n", errors[i].c_str());
    std::printf("RESULT value=%.1f unit=ms failures=%d clients=%d\n", ms, failures.load(), clients);
    return 0;
}

int runIdle(const Args& a) {
    const int port = static_cast<int>(a.num("port"));
    const long pid = a.num("pid");
    const auto idle = static_cast<std::size_t>(a.num("idle"));
    const long count = a.num("count", 300);
    const std::string user = a.str("user");
    const long msgs = a.num("messages");

    const TreeUsage before = treeUsage(pid);
    auto t0 = Clock::now();
    IdleCrowd crowd(port, user, idle, Ms(a.num("setup-ms", 240000)));
    const double setupS = msSince(t0) / 1000.0;
    const TreeUsage held = treeUsage(pid);

    Latency sessions;
    t0 = Clock::now();
    for (long i = 0; i < count; ++i) {
        const auto s0 = Clock::now();
        try {
            shortSession(port, user, msgs, timeoutOf(a));
        } catch (const std::exception& e) {
            throw NetError("session " + std::to_string(i + 1) + " with " + std::to_string(idle) +
                           " idle: " + e.what());
        }
        sessions.add(msSince(s0), "session");
    }
    const double ms = msSince(t0);
    // Less disturbed by other load on the machine than the wall time.
    const double cpuUsPerSession = static_cast<double>(treeUsage(pid).cpuNs - held.cpuNs) / 1000.0 /
                                   static_cast<double>(count);
    // The idle connections must have been held, and the half lines kept, all along.
    const std::size_t quiet = crowd.quiet();
    const std::size_t sample = 50;
    const std::size_t finished = crowd.finishHalfLines(sample, msgs, timeoutOf(a));
    const std::size_t half = std::min<std::size_t>(sample, idle / 3);
    std::printf(
        "RESULT value=%.1f unit=sessions/s median_ms=%.3f p99_ms=%.3f worst_ms=%.3f idle=%zu "
        "failures=%zu dropped=%zu half_lines_ok=%zu/%zu rss_growth_kib=%ld pss_growth_kib=%ld "
        "processes=%d setup_s=%.1f sessions=%ld server_cpu_us_per_session=%.1f\n",
        static_cast<double>(count) / (ms / 1000.0), sessions.percentile(50),
        sessions.percentile(99), sessions.worstMs, idle, (idle - quiet) + (half - finished),
        idle - quiet, finished, half, held.rssKiB - before.rssKiB, held.pssKiB - before.pssKiB,
        held.processes, setupS, count, cpuUsPerSession);
    return 0;
}

int runSlowReader(const Args& a) {
    const int port = static_cast<int>(a.num("port"));
    const long pid = a.num("pid");
    MappedFile big(a.str("file"));
    MappedFile small(a.str("side-file"));
    const std::string sideUser = a.str("side-user");
    const long sideMsgs = a.num("side-messages");
    Pace pace{static_cast<double>(a.num("rate", 8000000)), 64 * 1024};

    Conn slow(port, 0, Ms(a.num("timeout-ms", 60000)), 256 * 1024);
    login(slow, a.str("user"));
    const long base = rssKiB(pid);
    std::atomic<long> peak{base};
    std::atomic<bool> stop{false};
    // Sampler: VmRSS every 20 ms for the whole transfer.
    std::thread sampler([&] {
        while (!stop) {
            long v = rssKiB(pid);
            if (v > peak)
                peak = v;
            std::this_thread::sleep_for(Ms(20));
        }
    });
    Latency lat;
    long sideSessions = 0;
    std::string sideError;
    std::thread side([&] {
        const std::span<const char> f = small.bytes();
        // Bounded: stops with the transfer, or after a million sessions.
        while (!stop && sideSessions < 1000000) {
            try {
                shortSession(port, sideUser, sideMsgs, timeoutOf(a), &lat, &f);
            } catch (const std::exception& e) {
                sideError = e.what();
                return;
            }
            ++sideSessions;
            std::this_thread::sleep_for(Ms(10));
        }
    });
    std::string slowError;
    double ms = 0;
    try {
        ms = retrChecked(slow, 1, big.bytes(), pace);
        slow.cmd("QUIT");
    } catch (const std::exception& e) {
        slowError = e.what();
    }
    const long end = rssKiB(pid);
    stop = true;
    side.join();
    sampler.join();
    for (const auto& s : lat.slow)
        std::fprintf(stderr, "slow reply: %s\n", s.c_str());
    if (!slowError.empty())
        throw NetError("slow reader: " + slowError);
    if (!sideError.empty())
        throw NetError("side client: " + sideError);
    std::printf(
        "RESULT value=%ld unit=KiB rss_base_kib=%ld rss_peak_kib=%ld rss_end_kib=%ld "
        "worst_ms=%.2f worst_reply=%s p99_ms=%.2f over50ms=%zu side_sessions=%ld "
        "side_replies=%zu slow_mbps=%.2f\n",
        peak - base, base, peak.load(), end, lat.worstMs, lat.worstWhat.c_str(), lat.percentile(99),
        lat.over(50), sideSessions, lat.all.size(),
        static_cast<double>(big.bytes().size()) / 1e6 / (ms / 1000.0));
    return 0;
}

}  // namespace bench
