// platform_linux.cpp -- Linux implementation of platform.h.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <sys/syscall.h>
#include <sys/types.h>

#include <systemd/sd-login.h>

int KestrovanPlatform_executablePath(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr || *size == 0)
    return -2;
  // readlink does not terminate and truncates silently: ask for one byte more
  // than fits so that a truncation is seen.
  char path[8192];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
  if (n <= 0 || (size_t)n >= sizeof(path))
    return -2;
  if ((uint32_t)n + 1 > *size) {
    *size = (uint32_t)n + 1;
    return -1;
  }
  memcpy(buffer, path, (size_t)n);
  buffer[n] = '\0';
  return 0;
}

bool KestrovanPlatform_consoleUser(int32_t* uid) {
  if (uid == nullptr)
    return false;
  char* session = nullptr;
  uid_t owner = 0;
  if (sd_seat_get_active("seat0", &session, &owner) < 0) {
    free(session);
    return false;
  }
  free(session);
  *uid = (int32_t)owner;
  return true;
}

uint64_t KestrovanPlatform_threadId() {
  return (uint64_t)syscall(SYS_gettid);
}

bool KestrovanPlatform_runtimeFolder(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return false;
  buffer[0] = '\0';
  // A relative value would name a folder under whatever the working folder
  // is; the convention is to ignore it.
  const char* folder = getenv("XDG_RUNTIME_DIR");
  if (folder == nullptr || folder[0] != '/' || strlen(folder) >= size)
    return false;
  memcpy(buffer, folder, strlen(folder) + 1);
  return true;
}

bool KestrovanPlatform_machineId(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return false;
  buffer[0] = '\0';
  FILE* file = fopen("/etc/machine-id", "r");
  if (file == nullptr)
    return false;
  bool ok = fgets(buffer, (int)size, file) != nullptr;
  fclose(file);
  if (!ok) {
    buffer[0] = '\0';
    return false;
  }
  buffer[strcspn(buffer, "\r\n")] = '\0';
  return buffer[0] != '\0';
}

bool sendIPCMsg(const char* sender, const char* receiver, const char* instruction, const char* extra) {
  (void)sender;
  (void)receiver;
  (void)instruction;
  (void)extra;
  return false;
}

void setStop(KestrovanInstructionHandler handler) { (void)handler; }
void setRestart(KestrovanInstructionHandler handler) { (void)handler; }
void setFinal(KestrovanInstructionHandler handler) { (void)handler; }
void stopMessageReceiver() {}
