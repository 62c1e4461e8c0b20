#include "platform/socket_queue.h"

#if defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace platform {

int UnsentBytes(int s) {
#if defined(__linux__)
    int n = 0;
    return ::ioctl(s, SIOCOUTQ, &n) == 0 ? n : -1;
#else
    (void)s;
    return -1;
#endif
}

}  // namespace platform
