#include "platform/local_socket.h"

#include "platform/socket_events.h"
#include "platform/winsock.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace platform {

int OpenLocalListener(const std::string& path, mode_t mode, gid_t group, std::string& error) {
    WSAData data;
    if (WSAStartup(0x0101, &data) != 0) {
        error = "the socket library did not start";
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the socket path is empty or too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            error = path + " exists and is no socket";
            return -1;
        }
        ::unlink(path.c_str());  // left by an earlier run
    }
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        error = std::strerror(errno);
        return -1;
    }
    // Made with no permissions for others at all, then given the ones asked for: nobody can
    // connect in between.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0 || (group != static_cast<gid_t>(-1) && ::chown(path.c_str(), -1, group) != 0) ||
        ::chmod(path.c_str(), mode) != 0 || ::listen(s, MaxBacklog()) != 0) {
        error = path + ": " + std::strerror(bound != 0 ? bindError : errno);
        ::close(s);
        if (bound == 0) {
            ::unlink(path.c_str());
        }
        return -1;
    }
    detail::Adopt(s);
    if (detail::SocketState* state = detail::Find(s)) {
        state->bound = true;
        state->listening = true;
    }
    return s;
}

gid_t GroupId(const std::string& name) {
    unsigned number = 0;
    const auto [end, problem] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (!name.empty() && problem == std::errc() && end == name.data() + name.size()) {
        return static_cast<gid_t>(number);
    }
    const group* entry = ::getgrnam(name.c_str());
    return entry != nullptr ? entry->gr_gid : static_cast<gid_t>(-1);
}

}  // namespace platform
