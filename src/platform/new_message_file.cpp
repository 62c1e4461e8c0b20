#include "platform/new_message_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace platform {

NewMessageFile::NewMessageFile(NewMessageFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      folderFd_(std::exchange(other.folderFd_, -1)),
      hiddenName_(std::move(other.hiddenName_)),
      committed_(other.committed_),
      size_(other.size_),
      observer_(std::move(other.observer_)) {}

NewMessageFile& NewMessageFile::operator=(NewMessageFile&& other) noexcept {
    if (this != &other) {
        Discard();
        fd_ = std::exchange(other.fd_, -1);
        folderFd_ = std::exchange(other.folderFd_, -1);
        hiddenName_ = std::move(other.hiddenName_);
        committed_ = other.committed_;
        size_ = other.size_;
        observer_ = std::move(other.observer_);
    }
    return *this;
}

NewMessageFile::~NewMessageFile() {
    Discard();
}

void NewMessageFile::Note(std::string_view step) const {
    if (observer_) {
        observer_(step);
    }
}

int NewMessageFile::Create(const StoreFolder& folder, std::string hiddenName,
                           StoreStepObserver observer) {
    Discard();
    if (!folder.IsOpen()) {
        return folder.error() != 0 ? folder.error() : ENOENT;
    }
    if (hiddenName.empty() || hiddenName.front() != '.' ||
        hiddenName.find('/') != std::string::npos) {
        return EINVAL;
    }
    const int folderFd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (folderFd == -1) {
        return errno;
    }
    const int fd = ::openat(folderFd, hiddenName.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
        const int error = errno;
        ::close(folderFd);
        return error;
    }
    fd_ = fd;
    folderFd_ = folderFd;
    hiddenName_ = std::move(hiddenName);
    committed_ = false;
    size_ = 0;
    observer_ = std::move(observer);
    return 0;
}

int NewMessageFile::Write(const char* data, std::size_t size) {
    if (fd_ == -1 || committed_) {
        return EBADF;
    }
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        size_ += n;
    }
    return 0;
}

int NewMessageFile::CopyFrom(const NewMessageFile& source) {
    char buffer[64 * 1024];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(source.fd_, buffer, sizeof buffer, at);
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        if (const int error = Write(buffer, static_cast<std::size_t>(n)); error != 0) {
            return error;
        }
        at += n;
    }
}

int NewMessageFile::Commit(const StoreFolder& target, const std::string& name) {
    if (fd_ == -1 || committed_) {
        return EBADF;
    }
    if (!target.IsOpen()) {
        return target.error() != 0 ? target.error() : ENOENT;
    }
    Note("write");
    if (::fsync(fd_) != 0) {
        return errno;
    }
    Note("fsync file");
    // Never over another message: a name taken already is the caller's to change.
    if (::renameat2(folderFd_, hiddenName_.c_str(), target.fd(), name.c_str(), RENAME_NOREPLACE) !=
        0) {
        return errno;
    }
    committed_ = true;
    Note("rename");
    // The folder is opened for reading to be synced: the target may be held for look-ups only.
    const int sync = ::openat(target.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = sync == -1 || ::fsync(sync) != 0 ? errno : 0;
    if (sync != -1) {
        ::close(sync);
    }
    if (error != 0) {
        return error;
    }
    Note("fsync folder");
    return 0;
}

void NewMessageFile::Discard() {
    if (fd_ != -1 && !committed_) {
        ::unlinkat(folderFd_, hiddenName_.c_str(), 0);
    }
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
    if (folderFd_ != -1) {
        ::close(folderFd_);
        folderFd_ = -1;
    }
}

int MakeFolder(const StoreFolder& parent, const std::string& name) {
    if (!parent.IsOpen()) {
        return parent.error() != 0 ? parent.error() : ENOENT;
    }
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return EINVAL;
    }
    return ::mkdirat(parent.fd(), name.c_str(), 0700) == 0 ? 0 : errno;
}

}  // namespace platform
