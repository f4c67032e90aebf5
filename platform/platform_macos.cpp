// SPDX-License-Identifier: Apache-2.0
// platform_macos.cpp -- macOS implementation of platform.h (built on Apple only).
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <mach-o/dyld.h>

int KestrovanPlatform_executablePath(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr || *size == 0)
    return -2;
  return _NSGetExecutablePath(buffer, size) == 0 ? 0 : -1;
}

bool KestrovanPlatform_consoleUser(int32_t* uid) {
  if (uid == nullptr)
    return false;
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (session == nullptr)
    return false;
  bool found = false;
  CFNumberRef number = (CFNumberRef)CFDictionaryGetValue(session, CFSTR("kCGSSessionUserIDKey"));
  if (number != nullptr)
    found = CFNumberGetValue(number, kCFNumberSInt32Type, uid);
  CFRelease(session);
  return found;
}

uint64_t KestrovanPlatform_threadId() {
  uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
}

bool KestrovanPlatform_runtimeFolder(char* buffer, size_t size) {
  // No per-login runtime folder here: scratch folders go to the cache folder
  // (KESTROVAN_CACHE_FOLDER).
  if (buffer != nullptr && size > 0)
    buffer[0] = '\0';
  return false;
}

bool KestrovanPlatform_machineId(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return false;
  buffer[0] = '\0';
  FILE* pipe = popen("system_profiler SPHardwareDataType | grep \"Hardware UUID\"", "r");
  if (pipe == nullptr)
    return false;
  char line[256];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    const char* colon = strchr(line, ':');
    if (colon != nullptr && colon[1] != '\0')
      snprintf(buffer, size, "%s", colon + 2);
  }
  pclose(pipe);
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

// The peer lookup is not written for macOS yet: every answer is
// KESTROVAN_PEER_UNSUPPORTED, and the service then admits loopback peers
// without knowing their user (it says so once, at the first connection). The way to fill it
// in: the sysctl "net.inet.tcp.pcblist_n" lists every TCP socket with its
// addresses, ports and owner (xsocket_n.so_uid); the client's socket is the
// one whose local end is the connection's remote end. The same list, with
// the listening sockets, answers KestrovanPlatform_portHolder.
void KestrovanPlatform_peerLookupOpen(KestrovanPeerLookup* lookup, int source) {
  if (lookup == nullptr)
    return;
  lookup->fd = -1;
  lookup->sequence = 0;
  lookup->source = source;
}

void KestrovanPlatform_peerLookupClose(KestrovanPeerLookup* lookup) {
  (void)lookup;
}

static int unsupported(char* reason, size_t reasonSize) {
  if (reason != nullptr && reasonSize > 0)
    snprintf(reason, reasonSize, "no peer lookup on this platform");
  return KESTROVAN_PEER_UNSUPPORTED;
}

int KestrovanPlatform_peerUid(KestrovanPeerLookup* lookup, const struct sockaddr* peer, size_t peerLength,
                              const struct sockaddr* local, size_t localLength, uint32_t* uid, char* reason,
                              size_t reasonSize) {
  (void)lookup;
  (void)peer;
  (void)peerLength;
  (void)local;
  (void)localLength;
  (void)uid;
  return unsupported(reason, reasonSize);
}

int KestrovanPlatform_portHolder(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                 uint32_t* uid, char* reason, size_t reasonSize) {
  (void)lookup;
  (void)local;
  (void)localLength;
  (void)uid;
  return unsupported(reason, reasonSize);
}

int KestrovanPlatform_portListener(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                   uint32_t* uid, uint64_t* inode, char* reason, size_t reasonSize) {
  (void)inode;
  return KestrovanPlatform_portHolder(lookup, local, localLength, uid, reason, reasonSize);
}

bool KestrovanPlatform_socketProcess(uint64_t inode, int* pid, char* name, size_t size) {
  (void)inode;
  (void)pid;
  if (name != nullptr && size > 0)
    name[0] = '\0';
  return false;
}

int KestrovanPlatform_listenSockets(int* sockets, int max) {
  (void)sockets;
  (void)max;
  return 0;
}

int KestrovanPlatform_startedWithSockets(int pid) {
  (void)pid;
  return 0;
}

long long KestrovanPlatform_loadedLibrarySize(int fd) {
  (void)fd;
  return -1;
}
