#include "platform/folder_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    if (this != &other) {
        if (fd_ != -1) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FolderLock::~FolderLock() {
    if (fd_ != -1) {
        ::close(fd_);  // closing the file releases the lock
    }
}

FolderLock FolderLock::Take(int folderFd, const std::string& name, int& error) {
    const int fd = ::openat(folderFd, name.c_str(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd == -1) {
        error = errno;
        return {};
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) == -1) {
        // Held elsewhere is EAGAIN or EACCES, as the system chooses: one answer for both.
        error = errno == EACCES ? EAGAIN : errno;
        ::close(fd);
        return {};
    }
    error = 0;
    return FolderLock(fd);
}

}  // namespace platform
