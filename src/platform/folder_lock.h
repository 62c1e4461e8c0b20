#pragma once
// An exclusive POSIX record lock on a file in a folder: taken without waiting, held while the
// object lives. Record locks belong to the process, so they exclude other processes only.

#include <string>

namespace platform {

class FolderLock {
public:
    FolderLock() = default;
    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

    // Locks `name` in the folder open as `folderFd`, made (mode 0600) if missing; a link at
    // the name is not followed. Not held, with `error` (an errno value; EAGAIN when another
    // process holds it), when it cannot be had now.
    static FolderLock Take(int folderFd, const std::string& name, int& error);

    bool Held() const { return fd_ != -1; }

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace platform
