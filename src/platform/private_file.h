#pragma once
// Files the program writes for its user that may hold what the protocol carried (a saved trace,
// the trace file): readable by the user alone, and never written through a symbolic link put at
// the name.

#include <string>
#include <string_view>

namespace platform {

// Writes `bytes` to `path`, replacing what it held; a new file gets mode 0600. Empty on
// success, otherwise the reason.
std::string WritePrivateFile(const std::string& path, std::string_view bytes);

// Opens the regular file `path` for appending, made with mode 0600 if it is missing. The
// descriptor (closed on exec), or -1 with `error` saying why.
int OpenPrivateAppend(const std::string& path, std::string& error);
// Why OpenPrivateAppend would fail on `path`, judged without making the file; empty if it would
// not.
std::string PrivateAppendProblem(const std::string& path);

// Writes all of `bytes` to `fd`: empty, or the reason it stopped short.
std::string WriteAll(int fd, std::string_view bytes);

}  // namespace platform
