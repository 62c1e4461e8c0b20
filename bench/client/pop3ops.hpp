// POP3 steps shared by the scenarios: login, checked RETR, one short session.
#pragma once

#include "net.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace bench {

// Read-only view of a whole file (mmap), the bytes a RETR must reproduce.
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const char> bytes() const { return {data_, size_}; }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Greeting, USER, PASS (password = user name).
void login(Conn& c, const std::string& user);

// Reading pace for a slow client; rate 0 reads as fast as possible.
struct Pace {
    double bytesPerSec = 0;
    std::size_t maxRead = 64 * 1024;
};

// Sends RETR msg and checks the unstuffed reply against `file`; returns the
// milliseconds from sending RETR to the final ".".
double retrChecked(Conn& c, int msg, std::span<const char> file, const Pace& pace = {});

// Worst single reply time seen by a client, in milliseconds.
struct Latency {
    double worstMs = 0;
    std::string worstWhat;
    std::vector<double> all;        // every reply time, for percentiles
    std::vector<std::string> slow;  // replies over 50 ms: when and which
    Clock::time_point start = Clock::now();
    void add(double ms, const char* what) {
        all.push_back(ms);
        if (ms > 50 && slow.size() < 20)
            slow.push_back(std::string(what) + " " + std::to_string(ms) + " ms, at " +
                           std::to_string(msSince(start) / 1000.0) + " s");
        if (ms > worstMs) {
            worstMs = ms;
            worstWhat = what;
        }
    }
    double percentile(double p) const;
    std::size_t over(double ms) const;
};

// connect, greeting, USER, PASS, STAT (must report expectMsgs), [LIST,
// RETR 1 checked against retrFile], QUIT, close.
void shortSession(int port, const std::string& user, long expectMsgs, Ms timeout,
                  Latency* lat = nullptr, const std::span<const char>* retrFile = nullptr);

// Many connections held open without traffic, in three kinds taken in turn: greeted only;
// logged in (USER, PASS); logged in with half a command line ("STA", no CR LF) sent. They are
// set up a window at a time over non-blocking sockets, so 10,000 take seconds, not minutes.
class IdleCrowd {
public:
    IdleCrowd(int port, const std::string& user, std::size_t count, Ms timeout);
    ~IdleCrowd();  // abortive close: no TIME_WAIT left behind by thousands of sockets
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;

    // Connections the server has neither closed nor written to since the set-up.
    std::size_t quiet() const;
    // Completes the half line ("T" CR LF makes STAT) on up to `sample` connections and checks
    // each reply reports `expectMsgs`; returns how many did.
    std::size_t finishHalfLines(std::size_t sample, long expectMsgs, Ms timeout);

private:
    struct Member {
        int fd = -1;
        int kind = 0;   // 0 greeted, 1 logged in, 2 half a line
        int stage = 0;  // replies received
        std::string in;
    };
    std::vector<Member> members_;
};

// Summed over process `pid` and all its descendants: VmRSS and Pss (KiB; Pss shares pages
// among the processes that map them, so a library is not counted once per process), and the
// CPU time of their live threads (ns, from schedstat: finer than the clock ticks of stat).
// cpuTicks is utime + stime + cutime + cstime from stat (clock ticks): coarser, but it also
// holds the threads that ended and the children that were reaped (their time moves into their
// parent's cutime and cstime), so its difference over a run is the whole tree's CPU time even
// when processes come and go. rchar likewise (reaped children's I/O moves into the parent's).
struct TreeUsage {
    long rssKiB = 0;
    long pssKiB = 0;
    long long cpuNs = 0;
    long long cpuTicks = 0;
    long long rchar = 0;
    int processes = 0;
};
// withMemory false skips VmRSS and Pss (smaps_rollup walks every mapping).
TreeUsage treeUsage(long pid, bool withMemory = true);
// The processes of that tree now, and their rchar summed (cheap enough to sample right
// before and after an event).
std::vector<long> treePids(long pid);
long long rcharOf(const std::vector<long>& pids);
// Bytes the processes can have taken from files: what they read (rchar) and, for what they
// read through mappings, their minor page faults at the kernel's fault-around size (64 KiB),
// an upper bound (faults of the heap count too).
long long fileBytesOf(const std::vector<long>& pids);
// Microseconds per clock tick of cpuTicks.
double microsecondsPerTick();

}  // namespace bench
