// platform_posix.cpp -- the parts of platform.h that are the same POSIX
// calls on Linux and macOS.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

int KestrovanPlatform_consoleOpen(int* kind) {
  *kind = KESTROVAN_CONSOLE_PLAIN;
  struct stat info;
  if (fstat(STDOUT_FILENO, &info) != 0)
    return -1;
  if (S_ISSOCK(info.st_mode)) {
    *kind = KESTROVAN_CONSOLE_SOCKET;
    return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  }
#if !defined(__APPLE__)
  // Opening the pipe again through /proc gives a description of its own:
  // O_NONBLOCK on it leaves the shared one (and whoever else writes to the
  // pipe) as it was. macOS has no such path and keeps plain writes.
  if (S_ISFIFO(info.st_mode)) {
    int own = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own >= 0) {
      *kind = KESTROVAN_CONSOLE_PIPE;
      return own;
    }
  }
#endif
  // A file keeps its shared offset (and O_APPEND) only through a duplicate.
  return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
}

long KestrovanPlatform_consoleWrite(int fd, int kind, const void* data, size_t length) {
  for (;;) {
    ssize_t written = kind == KESTROVAN_CONSOLE_SOCKET ? send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                                       : write(fd, data, length);
    if (written >= 0)
      return (long)written;
    if (errno == EINTR)
      continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

bool KestrovanPlatform_consoleWait(int fd, int ms) {
  struct pollfd watched = {fd, POLLOUT, 0};
  return poll(&watched, 1, ms) > 0 && (watched.revents & POLLOUT) != 0;
}
