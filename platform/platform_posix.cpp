// SPDX-License-Identifier: Apache-2.0
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

bool KestrovanPlatform_wakeOpen(int wake[2]) {
  if (pipe(wake) != 0) {
    wake[0] = wake[1] = -1;
    return false;
  }
  for (int i = 0; i < 2; i++) {
    fcntl(wake[i], F_SETFD, FD_CLOEXEC);
    fcntl(wake[i], F_SETFL, fcntl(wake[i], F_GETFL) | O_NONBLOCK);
  }
  return true;
}

void KestrovanPlatform_wakeClose(int wake[2]) {
  for (int i = 0; i < 2; i++) {
    if (wake[i] >= 0)
      close(wake[i]);
    wake[i] = -1;
  }
}

void KestrovanPlatform_wake(const int wake[2]) {
  char byte = 1;
  // A full pipe already holds a wake-up.
  if (wake[1] >= 0 && write(wake[1], &byte, 1) < 0 && errno != EAGAIN)
    return;
}

void KestrovanPlatform_watchHangUps(const int* sockets, int count, const int wake[2], int timeoutMs, bool* hungUp) {
  // Small enough for the stack: the service suspends at most a few hundred.
  struct pollfd watched[1024 + 1];
  if (count > 1024)
    count = 1024;
#ifdef POLLRDHUP
  const short ends = POLLRDHUP;
#else
  const short ends = 0;
#endif
  watched[0] = {wake[0], POLLIN, 0};
  for (int i = 0; i < count; i++) {
    watched[i + 1] = {sockets[i], ends, 0};
    hungUp[i] = false;
  }
  int ready = poll(watched, (nfds_t)count + 1, timeoutMs);
  if (ready <= 0)
    return;
  for (int i = 0; i < count; i++)
    hungUp[i] = sockets[i] >= 0 && (watched[i + 1].revents & (ends | POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (watched[0].revents & POLLIN) {
    char drain[64];
    while (read(wake[0], drain, sizeof(drain)) > 0) {
    }
  }
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
