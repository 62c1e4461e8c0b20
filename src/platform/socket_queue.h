#pragma once
// How much a connected socket's kernel still holds of what was sent on it: bytes the peer has
// not yet taken. A reader too slow to let a single send through still shows up here as progress.

namespace platform {

// The byte count, or -1 when the system cannot tell.
int UnsentBytes(int s);

}  // namespace platform
