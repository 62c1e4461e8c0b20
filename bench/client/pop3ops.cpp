#include "pop3ops.hpp"

#include "dotstream.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
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

}  // namespace bench
