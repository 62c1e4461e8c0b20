#include "platform/display.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {

bool XDisplayReachable(const std::string& name) {
    // libxcb is what Qt's X platform uses; without it Qt could not open the display either.
    // Loaded at run time, so the program does not depend on it where it runs headless.
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) {
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool reachable = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(name.c_str(), nullptr);
        reachable = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) {
            disconnect(connection);  // also frees a connection that failed
        }
    }
    ::dlclose(xcb);
    return reachable;
}

bool WaylandDisplayReachable(const std::string& name) {
    std::string path = name;
    if (path.empty() || path.front() != '/') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr) {
            return false;
        }
        path = std::string(runtime) + "/" + (path.empty() ? "wayland-0" : path);
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return false;
    }
    const bool reachable =
        ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return reachable;
}

}  // namespace platform
