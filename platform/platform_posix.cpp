// platform_posix.cpp -- the parts of platform.h that are the same POSIX
// calls on Linux and macOS.
#include "platform/platform.h"

#include <sys/resource.h>
#include <sys/socket.h>
#if defined(__APPLE__)
#include <sys/syslimits.h>
#endif

long KestrovanPlatform_raiseDescriptorLimit() {
#if defined(__APPLE__)
  // The soft limit cannot pass OPEN_MAX there, whatever the hard limit says.
  const rlim_t ceiling = (rlim_t)OPEN_MAX;
#else
  const rlim_t ceiling = (rlim_t)65536;
#endif
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return -1;
  rlim_t wanted = limit.rlim_max < ceiling ? limit.rlim_max : ceiling;
  if (limit.rlim_cur < wanted) {
    struct rlimit raised = {wanted, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit.rlim_cur = wanted;
  }
  return (long)limit.rlim_cur;
}

void KestrovanPlatform_cutConnection(int socket) {
  if (socket >= 0)
    shutdown(socket, SHUT_RDWR);
}
