#pragma once
// A listening socket on a path (AF_UNIX), for a mail server on the same host that hands mail
// over by LMTP (Postfix's lmtp:unix: transport). Taken on by the socket library like a TCP
// listener: the same accept, events and close.

#include <sys/types.h>

#include <string>

namespace platform {

// Binds and listens on `path` with permissions `mode`, the group `group` (-1: the process's),
// or returns -1 with `error` saying why. A socket left at the path by an earlier run is
// replaced; any other file there is not. Made before root is given up, the socket file keeps
// the owner root; `group` is how others are let in.
int OpenLocalListener(const std::string& path, mode_t mode, gid_t group, std::string& error);

// The group named `name` (or a number), or -1 when there is none.
gid_t GroupId(const std::string& name);

}  // namespace platform
