#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <limits>

namespace platform {
namespace {

// An unlimited hard limit still stops at the kernel's per-process ceiling.
rlim_t KernelCeiling() {
    long ceiling = 0;
    std::ifstream("/proc/sys/fs/nr_open") >> ceiling;
    return ceiling > 0 ? static_cast<rlim_t>(ceiling) : rlim_t{1} << 20;
}

std::string Thousands(long long n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

}  // namespace

int RaiseDescriptorLimit(int wanted, std::string& warning) {
    warning.clear();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    const rlim_t target = limit.rlim_max == RLIM_INFINITY ? KernelCeiling() : limit.rlim_max;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur < target) {
        rlimit raised = limit;
        raised.rlim_cur = target;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    const int available = limit.rlim_cur == RLIM_INFINITY
                              ? INT_MAX
                              : static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
    if (available < wanted) {
        warning = "drennik: warning: only " + Thousands(available) +
                  " file descriptors available (hard limit); the connection limit needs about " +
                  Thousands(wanted) + "; raise it with ulimit -n";
    }
    return available;
}

int DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(std::numeric_limits<int>::max())) {
        return -1;
    }
    return static_cast<int>(limit.rlim_cur);
}

}  // namespace platform
