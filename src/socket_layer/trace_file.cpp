#include "socket_layer/trace_file.h"

#include "platform/file_handle.h"
#include "platform/private_file.h"

TraceFile::TraceFile(std::string path, Report report)
    : path_(std::move(path)), report_(std::move(report)) {
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(0);  // once the event loop has handled what is waiting
    QObject::connect(&flushTimer_, &QTimer::timeout, &flushTimer_, [this] { Flush(); });
}

TraceFile::~TraceFile() {
    Flush();
    if (fd_ >= 0) {
        platform::CloseFile(fd_);
    }
}

std::string TraceFile::Open() {
    std::string error;
    const int fd = platform::OpenPrivateAppend(path_, error);
    if (fd < 0) {
        return error;
    }
    Flush();
    if (fd_ >= 0) {
        platform::CloseFile(fd_);
    }
    fd_ = fd;
    failing_ = false;
    return {};
}

void TraceFile::Write(std::string_view bytes) {
    if (fd_ < 0 || bytes.empty()) {
        return;
    }
    gathered_.append(bytes);
    if (gathered_.size() >= kMostGathered) {
        Flush();
    } else if (!flushTimer_.isActive()) {
        flushTimer_.start();
    }
}

void TraceFile::Flush() {
    flushTimer_.stop();
    if (gathered_.empty() || fd_ < 0) {
        return;
    }
    const std::string error = platform::WriteAll(fd_, gathered_);
    gathered_.clear();
    if (error.empty()) {
        failing_ = false;
    } else if (!failing_) {
        failing_ = true;
        if (report_) {
            report_(error);
        }
    }
}
