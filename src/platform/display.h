#pragma once
// Whether the display the environment names can be opened at all. Qt ends the program when it
// cannot open its display, so the server checks first and runs without a window instead.

#include <string>

namespace platform {

// The X display `name` (as in DISPLAY) accepts a connection.
bool XDisplayReachable(const std::string& name);
// The Wayland display `name` (as in WAYLAND_DISPLAY, relative to XDG_RUNTIME_DIR unless
// absolute) accepts a connection.
bool WaylandDisplayReachable(const std::string& name);

}  // namespace platform
