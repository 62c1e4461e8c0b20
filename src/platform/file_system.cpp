#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {
namespace {

FileIdentity IdentityOf(const struct stat& st) {
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::int64_t>(st.st_ctim.tv_sec),
                        static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

// Byte order of names. The first eight bytes, as one number, settle most comparisons, and the
// entries themselves move only once.
void SortByName(std::vector<MessageFileEntry>& entries) {
    struct Key {
        std::uint64_t head;
        std::uint32_t index;
    };
    std::vector<Key> keys(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint64_t head = 0;
        const std::string& name = entries[i].name;
        for (std::size_t b = 0; b < 8; ++b) {
            head = head << 8 | (b < name.size() ? static_cast<unsigned char>(name[b]) : 0);
        }
        keys[i] = Key{head, static_cast<std::uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.head != b.head) {
            return a.head < b.head;
        }
        return entries[a.index].name < entries[b.index].name;
    });
    std::vector<MessageFileEntry> sorted;
    sorted.reserve(entries.size());
    for (const Key& key : keys) {
        sorted.push_back(std::move(entries[key.index]));
    }
    entries.swap(sorted);
}

}  // namespace

StoreFolder::StoreFolder(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
      error_(fd_ == -1 ? errno : 0) {}

StoreFolder::~StoreFolder() {
    if (fd_ != -1) {
        ::close(fd_);
    }
}

std::string JoinPath(std::string_view root, std::string_view name) {
    std::string path(root);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<MessageFileEntry> ListFolder(const std::string& folder) {
    std::vector<MessageFileEntry> entries;
    StoreFolder dir(folder);
    if (dir.fd() == -1) {
        return entries;
    }
    const int listFd = ::dup(dir.fd());
    if (listFd == -1) {
        return entries;
    }
    DIR* stream = ::fdopendir(listFd);
    if (stream == nullptr) {
        ::close(listFd);
        return entries;
    }
    while (const dirent* d = ::readdir(stream)) {
        if (d->d_name[0] == '.') {
            continue;
        }
        if (d->d_type != DT_REG && d->d_type != DT_UNKNOWN) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dir.fd(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        entries.push_back(
            MessageFileEntry{d->d_name, static_cast<std::int64_t>(st.st_size), IdentityOf(st)});
    }
    ::closedir(stream);
    SortByName(entries);
    return entries;
}

MessageFile::~MessageFile() {
    Close();
}

bool MessageFile::Open(const std::string& folder, const std::string& name) {
    Close();
    StoreFolder dir(folder);
    if (dir.fd() == -1) {
        return false;
    }
    const int fd = ::openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    return true;
}

long MessageFile::Read(char* buffer, std::size_t capacity) {
    ssize_t n;
    do {
        n = ::read(fd_, buffer, capacity);
    } while (n == -1 && errno == EINTR);
    return static_cast<long>(n);
}

void MessageFile::Close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

RemoveResult RemoveIfSame(const StoreFolder& dir, const std::string& name,
                          const FileIdentity& identity) {
    if (dir.fd() == -1) {
        const int error = dir.error();
        return error == ENOENT || error == ELOOP || error == ENOTDIR ? RemoveResult::NotThere
                                                                     : RemoveResult::Failed;
    }
    struct stat st {};
    if (::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? RemoveResult::NotThere : RemoveResult::Failed;
    }
    if (!S_ISREG(st.st_mode) || !(IdentityOf(st) == identity)) {
        return RemoveResult::NotThere;
    }
    if (::unlinkat(dir.fd(), name.c_str(), 0) != 0) {
        return errno == ENOENT ? RemoveResult::NotThere : RemoveResult::Failed;
    }
    return RemoveResult::Removed;
}

}  // namespace platform
