#pragma once
// The process's own descriptor budget.

namespace platform {

// The soft limit on open descriptors, or -1 when there is none.
int DescriptorLimit();

}  // namespace platform
