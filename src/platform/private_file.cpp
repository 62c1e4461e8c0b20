#include "platform/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

std::string OpenError() {
    return errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::strerror(n < 0 ? errno : EIO);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::string WritePrivateFile(const std::string& path, std::string_view bytes) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
        return OpenError();
    }
    std::string error = WriteAll(fd, bytes);
    if (::close(fd) != 0 && error.empty()) {
        error = std::strerror(errno);
    }
    return error;
}

int OpenPrivateAppend(const std::string& path, std::string& error) {
    // O_NONBLOCK: a FIFO put at the name fails at once instead of waiting for a reader.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd == -1) {
        // ENXIO: a FIFO without a reader, or a socket.
        error = errno == ENXIO ? "it is not a regular file" : OpenError();
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "it is not a regular file";
        ::close(fd);
        return -1;
    }
    // Writes to a regular file do not wait on O_NONBLOCK anyway; clear it all the same.
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

std::string PrivateAppendProblem(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            return "it is a symbolic link";
        }
        if (!S_ISREG(status.st_mode)) {
            return "it is not a regular file";
        }
        return ::access(path.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    }
    if (errno != ENOENT) {
        return std::strerror(errno);
    }
    const std::string folder = FolderOf(path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "cannot make it in " + folder + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace platform
