// SPDX-License-Identifier: Apache-2.0
// platform.h -- the few operating-system calls the service makes, kept apart
// from the logic: one small implementation per platform (platform_linux.cpp,
// platform_macos.cpp compiled only on Apple), and platform_posix.cpp for the
// calls that are the same on both.
#ifndef KESTROVAN_PLATFORM_PLATFORM_H
#define KESTROVAN_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

struct sockaddr;

// Adapter libraries end in this suffix (".so" on Linux, ".dylib" on macOS).
// The user's cache folder under HOME, where per-user scratch folders go when
// there is no private runtime folder.
#if defined(__APPLE__)
#define KESTROVAN_ADAPTER_SUFFIX ".dylib"
#define KESTROVAN_CACHE_FOLDER "/Library/Caches"
#else
#define KESTROVAN_ADAPTER_SUFFIX ".so"
#define KESTROVAN_CACHE_FOLDER "/.cache"
#endif

// Writes the running executable's path. Returns 0 on success; -1 when the
// buffer is too small, with *size set to the size needed; -2 on any other
// failure.
int KestrovanPlatform_executablePath(char* buffer, uint32_t* size);

// The user id of the active console session (seat0). Returns true and sets
// *uid when there is one; false when there is no active seat, in which case
// the console-user check is skipped. Asked on every request, so the answer
// is kept until the seat changes (on Linux a thread of its own, started by
// the first call, watches logind's seat folder).
bool KestrovanPlatform_consoleUser(int32_t* uid);

// The system's id of the calling thread.
uint64_t KestrovanPlatform_threadId();

// The user's own runtime folder, under which per-user scratch folders go
// instead of the machine-wide /tmp: on Linux $XDG_RUNTIME_DIR when it is an
// absolute path that fits in buffer; none on macOS. Returns false when there
// is none. The folder is not checked here: the caller checks that it is
// private before it uses it.
bool KestrovanPlatform_runtimeFolder(char* buffer, size_t size);

// A stable machine identifier text (only printed). Returns false when none.
bool KestrovanPlatform_machineId(char* buffer, size_t size);

// Raises the soft limit on open descriptors to the hard limit, but to no
// more than 65,536 (OPEN_MAX on macOS): child processes inherit it, and programs that walk every
// descriptor number stay quick. Returns the soft limit in force afterwards,
// or -1 when it cannot be read.
long KestrovanPlatform_raiseDescriptorLimit();

// How many leading bytes of the shared library open on fd the dynamic
// loader reads and maps (its headers and loadable segments; what follows,
// section headers, symbol tables and debugging information, is never
// loaded), or -1 when it cannot tell (not a library of this platform's
// format; macOS always): then the whole file counts. The file offset is
// left at 0.
long long KestrovanPlatform_loadedLibrarySize(int fd);

// The listening sockets the service manager handed over at start (socket
// activation: LISTEN_PID and LISTEN_FDS), taken once: the variables are
// cleared so that children do not take them too. Writes at most max
// descriptors (numbered from 3 up) and returns their count; 0 when the
// process was started plainly (and always on macOS).
int KestrovanPlatform_listenSockets(int* sockets, int max);
// Whether process pid was started with sockets handed over (its starting
// environment names it in LISTEN_PID and LISTEN_FDS is at least 1): 1 yes,
// 0 no, -1 when its environment cannot be read (another user's process).
int KestrovanPlatform_startedWithSockets(int pid);

// Ends both directions of a connected socket without closing the
// descriptor: whoever owns the descriptor sees the end and closes it.
void KestrovanPlatform_cutConnection(int socket);

// A wake-up for a thread that sleeps in KestrovanPlatform_watchHangUps: a
// pipe whose read end (wake[0]) is watched and whose write end (wake[1]) is
// written by KestrovanPlatform_wake. Both ends close on exec and never block.
// False when no pipe could be made.
bool KestrovanPlatform_wakeOpen(int wake[2]);
void KestrovanPlatform_wakeClose(int wake[2]);
void KestrovanPlatform_wake(const int wake[2]);
// Sleeps until one of the count sockets is hung up (the peer closed it, or
// it was cut), the wake pipe is written, or timeoutMs passed (-1: no limit).
// hungUp[i] tells which sockets ended; the wake pipe is emptied. Data that
// arrives on a socket is not an end and is left for its reader.
void KestrovanPlatform_watchHangUps(const int* sockets, int count, const int wake[2], int timeoutMs, bool* hungUp);

// ---- The console (standard output) written without waiting ----
//
// A console nobody reads (a full pipe) must not hold up the service: the
// trace writes what fits now and keeps the rest for later.
enum {
  KESTROVAN_CONSOLE_PLAIN = 0,   // a file, /dev/null or a terminal: plain writes
  KESTROVAN_CONSOLE_PIPE = 1,    // a pipe opened again for itself, not blocking
  KESTROVAN_CONSOLE_SOCKET = 2,  // a socket: sends that do not wait
};
// A descriptor of the console's own, and how to write to it (*kind), or -1
// when standard output is closed. A pipe gets an open description of its
// own, so that not waiting on it changes nothing for other writers.
int KestrovanPlatform_consoleOpen(int* kind);
// Writes what fits now: the bytes written, 0 when nothing fits, -1 when the
// console is gone (nobody will ever read it).
long KestrovanPlatform_consoleWrite(int fd, int kind, const void* data, size_t length);
// Waits up to ms milliseconds until the console takes more; true when it does.
bool KestrovanPlatform_consoleWait(int fd, int ms);

// ---- Who is at the other end of a loopback connection ----
//
// Every user of the machine shares the loopback ports, so the service asks
// the kernel which user owns the client's socket of a new connection. On
// Linux the kernel's socket diagnostics answer over netlink (an exact lookup
// of the connection's four addresses and ports); /proc/net/tcp and tcp6 are
// read when netlink cannot answer. Only a clean answer counts: the socket
// found has the connection's addresses and ports and a non-zero inode (a
// client that already closed leaves an orphan owned by nobody, reported as
// uid 0). The uid is that of whoever created the socket: a forwarder run by
// root shows as root.
//
// macOS: a stub that answers KESTROVAN_PEER_UNSUPPORTED (the pcblist sysctl
// carries each socket's uid and would be the way to fill it in).

enum {
  KESTROVAN_PEER_FOUND = 0,        // clean answer; *uid is the owner
  KESTROVAN_PEER_NOT_FOUND = 1,    // no such socket (reset, or never there)
  KESTROVAN_PEER_UNCLEAN = 2,      // an answer that must not be trusted
  KESTROVAN_PEER_ERROR = 3,        // the lookup itself failed
  KESTROVAN_PEER_UNSUPPORTED = 4,  // no lookup on this platform
};

// Which facility answers: netlink with the /proc tables when netlink cannot
// answer (what the service uses), or one of them alone (tests compare them).
enum {
  KESTROVAN_PEER_SOURCE_ANY = 0,
  KESTROVAN_PEER_SOURCE_NETLINK = 1,
  KESTROVAN_PEER_SOURCE_PROC = 2,
};

// One lookup channel: the netlink socket (-1 while not open) and the
// sequence number of its last request. Used by one thread at a
// time; the caller holds a lock when threads share it.
struct KestrovanPeerLookup {
  int fd;
  uint32_t sequence;
  int source;  // KESTROVAN_PEER_SOURCE_*
};

// Readies a channel: on Linux the netlink socket is opened at once, so that a
// listener holds its descriptor from its start (a failure is retried at the
// first lookup). Close it with KestrovanPlatform_peerLookupClose.
void KestrovanPlatform_peerLookupOpen(KestrovanPeerLookup* lookup, int source);
void KestrovanPlatform_peerLookupClose(KestrovanPeerLookup* lookup);

// The uid owning the client's socket of the TCP connection from peer (the
// accepted socket's remote address) to local (the address and port the
// server accepted it on). IPv4-mapped IPv6 addresses count as IPv4. Returns
// KESTROVAN_PEER_*; *uid is set only with KESTROVAN_PEER_FOUND. reason (not
// null, reasonSize at least 1) gets a short text of what was found or why
// nothing counts, for the trace.
int KestrovanPlatform_peerUid(KestrovanPeerLookup* lookup, const struct sockaddr* peer, size_t peerLength,
                              const struct sockaddr* local, size_t localLength, uint32_t* uid, char* reason,
                              size_t reasonSize);

// The uid owning the socket that listens on local's address and port (on
// that address or on the family's wildcard address): who keeps the service
// from binding it. Same results and reason as KestrovanPlatform_peerUid.
// A socket that is bound without listening is not found.
int KestrovanPlatform_portHolder(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                 uint32_t* uid, char* reason, size_t reasonSize);
// The same, with the listening socket's inode in *inode (not null), for
// KestrovanPlatform_socketProcess.
int KestrovanPlatform_portListener(KestrovanPeerLookup* lookup, const struct sockaddr* local, size_t localLength,
                                   uint32_t* uid, uint64_t* inode, char* reason, size_t reasonSize);

// The process holding the socket with this inode, when this user may look
// at its descriptors (its own processes; every process for root): true with
// *pid and its command name in name (always terminated; size > 0). False
// when none is found or the platform cannot tell.
bool KestrovanPlatform_socketProcess(uint64_t inode, int* pid, char* name, size_t size);

// Instance messaging with the companion monitor: on this platform the calls
// accept their arguments and report failure; no receiver runs.
typedef void (*KestrovanInstructionHandler)();
bool sendIPCMsg(const char* sender, const char* receiver, const char* instruction, const char* extra);
void setStop(KestrovanInstructionHandler handler);
void setRestart(KestrovanInstructionHandler handler);
void setFinal(KestrovanInstructionHandler handler);
void stopMessageReceiver();

#endif
