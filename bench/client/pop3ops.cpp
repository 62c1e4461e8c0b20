#include "pop3ops.hpp"

#include "dotstream.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

namespace bench {

MappedFile::MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    struct stat st {};
    ::fstat(fd, &st);
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            ::close(fd);
            throw std::runtime_error(path + ": mmap failed");
        }
        data_ = static_cast<const char*>(p);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_)
        ::munmap(const_cast<char*>(data_), size_);
}

void login(Conn& c, const std::string& user) {
    c.expectOk();
    c.cmd("USER " + user);
    c.cmd("PASS " + user);
}

double retrChecked(Conn& c, int msg, std::span<const char> file, const Pace& pace) {
    const std::string what = "RETR " + std::to_string(msg);
    auto t0 = Clock::now();
    c.sendAll(what + "\r\n");
    try {
        c.expectOk();
    } catch (const NetError& e) {
        throw NetError(what + ": " + e.what());
    }
    DotStreamChecker chk(file);
    std::size_t received = c.buffered().size();
    for (;;) {
        auto b = c.buffered();
        c.consume(chk.feed(b.data(), b.size()));
        if (chk.failed())
            throw NetError(what + ": " + chk.error());
        if (chk.done())
            break;
        std::size_t before = c.buffered().size();
        if (!c.recvSome(pace.bytesPerSec > 0 ? pace.maxRead : static_cast<std::size_t>(-1)))
            throw NetError(what + ": connection closed after " + std::to_string(chk.matched()) +
                           " of " + std::to_string(file.size()) + " bytes");
        received += c.buffered().size() - before;
        if (pace.bytesPerSec > 0) {
            auto due =
                t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                         static_cast<double>(received) / pace.bytesPerSec));
            std::this_thread::sleep_until(due);
        }
    }
    return msSince(t0);
}

double Latency::percentile(double p) const {
    if (all.empty())
        return 0;
    std::vector<double> v = all;
    auto k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

std::size_t Latency::over(double ms) const {
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [ms](double x) { return x > ms; }));
}

namespace {
std::string timedCmd(Conn& c, const std::string& line, Latency* lat, const char* what) {
    auto t0 = Clock::now();
    std::string r = c.cmd(line);
    if (lat)
        lat->add(msSince(t0), what);
    return r;
}
}  // namespace

void shortSession(int port, const std::string& user, long expectMsgs, Ms timeout, Latency* lat,
                  const std::span<const char>* retrFile) {
    auto t0 = Clock::now();
    Conn c(port, 0, timeout, 64 * 1024);
    c.expectOk();
    if (lat)
        lat->add(msSince(t0), "connect+greeting");
    timedCmd(c, "USER " + user, lat, "USER");
    timedCmd(c, "PASS " + user, lat, "PASS");
    std::string stat = timedCmd(c, "STAT", lat, "STAT");
    long n = -1;
    if (std::sscanf(stat.c_str(), "+OK %ld", &n) != 1 || n != expectMsgs)
        throw NetError("STAT: expected " + std::to_string(expectMsgs) + " messages, got: " + stat);
    if (retrFile) {
        auto t1 = Clock::now();
        c.cmd("LIST");
        long lines = 0;
        readMultiLine(
            c, [&](const std::string&) { ++lines; }, 100000);
        if (lat)
            lat->add(msSince(t1), "LIST");
        if (lines != expectMsgs)
            throw NetError("LIST: line count differs from STAT");
        double ms = retrChecked(c, 1, *retrFile);
        if (lat)
            lat->add(ms, "RETR");
    }
    timedCmd(c, "QUIT", lat, "QUIT");
    // The client closes; the server need not (Drennik keeps it open).
}

namespace {

void abortiveClose(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

int connectNonBlocking(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw NetError(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        std::string e = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        throw NetError(e);
    }
    return fd;
}

}  // namespace

IdleCrowd::IdleCrowd(int port, const std::string& user, std::size_t count, Ms timeout) {
    // Set-ups in flight at once: well under any listen backlog.
    constexpr std::size_t kWindow = 64;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        throw NetError(std::string("epoll_create1: ") + std::strerror(errno));
    members_.reserve(count);
    const std::string userLine = "USER " + user + "\r\n";
    const std::string passLine = "PASS " + user + "\r\n";
    std::size_t inFlight = 0, done = 0;
    auto deadline = Clock::now() + timeout;
    try {
        while (done < count) {
            while (inFlight < kWindow && members_.size() < count) {
                Member m;
                m.kind = static_cast<int>(members_.size() % 3);
                m.fd = connectNonBlocking(port);
                members_.push_back(std::move(m));
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = members_.size() - 1;
                ::epoll_ctl(ep, EPOLL_CTL_ADD, members_.back().fd, &ev);
                ++inFlight;
            }
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            if (left <= 0)
                throw NetError("idle set-up: " + std::to_string(done) + " of " +
                               std::to_string(count) + " connections ready at the deadline");
            epoll_event events[256];
            const int n =
                ::epoll_wait(ep, events, 256, static_cast<int>(std::min<long>(left, 1000)));
            if (n < 0 && errno != EINTR)
                throw NetError(std::string("epoll_wait: ") + std::strerror(errno));
            for (int i = 0; i < n; ++i) {
                const std::size_t index = events[i].data.u64;
                Member& m = members_[index];
                char buf[512];
                const ssize_t got = ::recv(m.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got <= 0) {
                    if (got < 0 && (errno == EAGAIN || errno == EINTR))
                        continue;
                    throw NetError("idle connection " + std::to_string(index) +
                                   " ended during set-up after " + std::to_string(m.stage) +
                                   " replies" +
                                   (got < 0 ? std::string(": ") + std::strerror(errno) : ""));
                }
                m.in.append(buf, static_cast<std::size_t>(got));
                for (std::size_t nl; (nl = m.in.find("\r\n")) != std::string::npos;) {
                    const std::string line = m.in.substr(0, nl);
                    m.in.erase(0, nl + 2);
                    if (line.rfind("+OK", 0) != 0)
                        throw NetError("idle connection " + std::to_string(index) +
                                       ": expected +OK, got: " + line.substr(0, 200));
                    ++m.stage;
                    const bool greeted = m.stage == 1, loggedIn = m.stage == 3;
                    if (greeted && m.kind > 0) {
                        ::send(m.fd, userLine.data(), userLine.size(), MSG_NOSIGNAL);
                    } else if (m.stage == 2) {
                        ::send(m.fd, passLine.data(), passLine.size(), MSG_NOSIGNAL);
                    }
                    if ((greeted && m.kind == 0) || loggedIn) {
                        if (m.kind == 2)
                            ::send(m.fd, "STA", 3, MSG_NOSIGNAL);
                        ::epoll_ctl(ep, EPOLL_CTL_DEL, m.fd, nullptr);
                        --inFlight;
                        ++done;
                    }
                }
            }
        }
    } catch (...) {
        ::close(ep);
        for (const Member& m : members_)
            abortiveClose(m.fd);
        throw;
    }
    ::close(ep);
}

IdleCrowd::~IdleCrowd() {
    for (const Member& m : members_)
        abortiveClose(m.fd);
}

std::size_t IdleCrowd::quiet() const {
    std::size_t n = 0;
    for (const Member& m : members_) {
        char c;
        const ssize_t got = ::recv(m.fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
        n += got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 1 : 0;
    }
    return n;
}

std::size_t IdleCrowd::finishHalfLines(std::size_t sample, long expectMsgs, Ms timeout) {
    std::size_t ok = 0, tried = 0;
    for (const Member& m : members_) {
        if (m.kind != 2 || tried == sample)
            continue;
        ++tried;
        if (::send(m.fd, "T\r\n", 3, MSG_NOSIGNAL) != 3)
            continue;
        std::string reply;
        const auto deadline = Clock::now() + timeout;
        // Bounded by the deadline: one reply line.
        while (reply.find("\r\n") == std::string::npos && Clock::now() < deadline) {
            pollfd p{m.fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[256];
            const ssize_t got = ::recv(m.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got <= 0)
                break;
            reply.append(buf, static_cast<std::size_t>(got));
        }
        long n = -1;
        if (std::sscanf(reply.c_str(), "+OK %ld", &n) == 1 && n == expectMsgs)
            ++ok;
    }
    return ok;
}

namespace {

// Process `pid` and its descendants, each with its CPU ticks from /proc/N/stat.
std::vector<std::pair<long, long long>> treeProcesses(long pid) {
    struct Proc {
        long ppid = 0;
        long long ticks = 0;
    };
    std::map<long, Proc> procs;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream f(entry.path() / "stat");
        std::string stat;
        std::getline(f, stat);
        // The name in parentheses may hold spaces: fields are counted from the last ')'.
        const auto close = stat.rfind(')');
        Proc p;
        char state = 0;
        long long utime = 0, stime = 0, cutime = 0, cstime = 0;
        // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
        // cutime cstime
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1,
                        " %c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld %lld %lld", &state,
                        &p.ppid, &utime, &stime, &cutime, &cstime) == 6) {
            p.ticks = utime + stime + cutime + cstime;
            procs[std::stol(name)] = p;
        }
    }
    std::vector<std::pair<long, long long>> tree;
    for (const auto& [p, info] : procs) {
        long at = p;
        for (int depth = 0; depth < 64 && at > 1 && at != pid; ++depth) {
            const auto up = procs.find(at);
            at = up == procs.end() ? 0 : up->second.ppid;
        }
        if (at == pid)
            tree.emplace_back(p, info.ticks);
    }
    return tree;
}

long long procField(const std::string& path, const std::string& key) {
    std::ifstream f(path);
    std::string k;
    while (f >> k) {
        if (k == key) {
            long long v = 0;
            f >> v;
            return v;
        }
        f.ignore(1 << 20, '\n');
    }
    return 0;
}

}  // namespace

TreeUsage treeUsage(long pid, bool withMemory) {
    TreeUsage total;
    for (const auto& [p, ticks] : treeProcesses(pid)) {
        const std::string dir = "/proc/" + std::to_string(p);
        if (withMemory) {
            total.rssKiB += static_cast<long>(procField(dir + "/status", "VmRSS:"));
            total.pssKiB += static_cast<long>(procField(dir + "/smaps_rollup", "Pss:"));
        }
        total.rchar += procField(dir + "/io", "rchar:");
        total.cpuTicks += ticks;
        std::error_code ignored;
        for (const auto& task : std::filesystem::directory_iterator(dir + "/task", ignored)) {
            long long ns = 0;
            std::ifstream(task.path() / "schedstat") >> ns;
            total.cpuNs += ns;
        }
        ++total.processes;
    }
    return total;
}

std::vector<long> treePids(long pid) {
    std::vector<long> pids;
    for (const auto& entry : treeProcesses(pid))
        pids.push_back(entry.first);
    return pids;
}

long long rcharOf(const std::vector<long>& pids) {
    long long sum = 0;
    for (long p : pids)
        sum += procField("/proc/" + std::to_string(p) + "/io", "rchar:");
    return sum;
}

long long fileBytesOf(const std::vector<long>& pids) {
    long long faults = 0;
    for (long p : pids) {
        std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The fields after the command's closing parenthesis: state is the 3rd, minflt the 10th.
        std::istringstream rest(text.substr(text.rfind(')') + 1));
        std::string field;
        for (int i = 3; i <= 10 && rest >> field; ++i) {
        }
        faults += std::atoll(field.c_str());
    }
    return rcharOf(pids) + faults * (64 << 10);
}

double microsecondsPerTick() {
    return 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace bench
