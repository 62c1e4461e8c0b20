#pragma once
// Files the program writes for its user that may hold what the protocol carried (a saved trace):
// readable by the user alone, and never written through a symbolic link put at the name.

#include <string>
#include <string_view>

namespace platform {

// Writes `bytes` to `path`, replacing what it held; a new file gets mode 0600. Empty on
// success, otherwise the reason.
std::string WritePrivateFile(const std::string& path, std::string_view bytes);

}  // namespace platform
