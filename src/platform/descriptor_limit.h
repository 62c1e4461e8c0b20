#pragma once
// The number of files the process may hold open, which bounds how many connections it can
// serve at once.

#include <string>

namespace platform {

// Raises the soft limit on open descriptors to the hard limit and returns the limit now in
// force. When that is below `wanted`, `warning` gets one line saying so (with the numbers and
// how to raise it); otherwise `warning` is cleared.
int RaiseDescriptorLimit(int wanted, std::string& warning);

// The soft limit on open descriptors in force, or -1 when there is none.
int DescriptorLimit();

}  // namespace platform
