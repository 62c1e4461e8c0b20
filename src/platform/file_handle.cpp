#include "platform/file_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

int DuplicateFile(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void CloseFile(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

long ReadFileAt(int fd, char* buffer, std::size_t count, std::int64_t offset) {
    ssize_t n;
    do {
        n = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    } while (n == -1 && errno == EINTR);
    return static_cast<long>(n);
}

}  // namespace platform
