#pragma once
// Helpers for tests that run a server and its clients in one thread: clients use plain POSIX
// sockets on loopback and the event loop is pumped while they wait.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace testing_support {

using namespace std::chrono_literals;

// Pumps the event loop until `done` holds; false when the deadline (a hang guard) passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 20s);
void PumpFor(std::chrono::milliseconds duration);

// Bytes this process has read from files and sockets by read-like calls, sendfile included
// (reading /proc/self/io adds its own few hundred).
long long BytesReadSoFar();

class LoopbackClient {
public:
    LoopbackClient() = default;
    // A small `receiveBuffer` makes the server's output back up; it must be set before
    // connecting, as shrinking a live connection's buffer stalls it.
    explicit LoopbackClient(int port, int receiveBuffer = 0) { Connect(port, receiveBuffer); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;
    ~LoopbackClient() { Close(); }

    bool Connect(int port, int receiveBuffer = 0);
    void Send(std::string_view bytes);
    // Reads (pumping the event loop) until the received bytes contain `pattern`; returns and
    // consumes everything up to and including it, or "" when the deadline passes.
    std::string ReadUntil(std::string_view pattern, std::chrono::milliseconds deadline = 20s);
    // True once the server has closed the connection (pumping until the deadline).
    bool WaitForClose(std::chrono::milliseconds deadline = 20s);
    void Close();
    int fd() const { return fd_; }
    std::string& received() { return received_; }

private:
    bool ReadAvailable();  // false at end of stream
    int fd_ = -1;
    std::string received_;
    bool ended_ = false;
};

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string Write(const std::string& relative, std::string_view bytes) const;
    std::string Make(const std::string& relative) const;
    bool Exists(const std::string& relative) const;

private:
    std::string path_;
};

}  // namespace testing_support
