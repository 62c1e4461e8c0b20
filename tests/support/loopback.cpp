#include "support/loopback.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testing_support {

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > deadline.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        QThread::usleep(200);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    QElapsedTimer timer;
    timer.start();
    PumpUntil([&] { return timer.elapsed() >= duration.count(); }, duration + 1s);
}

bool LoopbackClient::Connect(int port, int receiveBuffer) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

void LoopbackClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            ReadAvailable();  // keep the server's replies flowing
        } else {
            return;
        }
    }
}

bool LoopbackClient::ReadAvailable() {
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received_.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            ended_ = true;
            return false;
        }
        return true;
    }
}

std::string LoopbackClient::ReadUntil(std::string_view pattern,
                                      std::chrono::milliseconds deadline) {
    std::size_t at = std::string::npos;
    PumpUntil(
        [&] {
            ReadAvailable();
            at = received_.find(pattern);
            return at != std::string::npos || ended_;
        },
        deadline);
    if (at == std::string::npos) {
        return {};
    }
    std::string head = received_.substr(0, at + pattern.size());
    received_.erase(0, at + pattern.size());
    return head;
}

bool LoopbackClient::WaitForClose(std::chrono::milliseconds deadline) {
    return PumpUntil([&] { return !ReadAvailable() || ended_; }, deadline);
}

void LoopbackClient::Close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
    received_.clear();
    ended_ = false;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "drennik-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Make(const std::string& relative) const {
    const std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
}

std::string TempDir::Write(const std::string& relative, std::string_view bytes) const {
    const std::filesystem::path full = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return full.string();
}

bool TempDir::Exists(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path_ + "/" + relative));
}

long long BytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return -1;
}

}  // namespace testing_support
