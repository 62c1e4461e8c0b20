#include "platform/descriptors.h"

#include <sys/resource.h>

#include <limits>

namespace platform {

int DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(std::numeric_limits<int>::max())) {
        return -1;
    }
    return static_cast<int>(limit.rlim_cur);
}

}  // namespace platform
