// platform.h -- the few operating-system calls the service makes, kept apart
// from the logic: one small implementation per platform (platform_linux.cpp,
// platform_macos.cpp compiled only on Apple), and platform_posix.cpp for the
// calls that are the same on both.
#ifndef KESTROVAN_PLATFORM_PLATFORM_H
#define KESTROVAN_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

// Adapter libraries end in this suffix (".so" on Linux, ".dylib" on macOS).
#if defined(__APPLE__)
#define KESTROVAN_ADAPTER_SUFFIX ".dylib"
#else
#define KESTROVAN_ADAPTER_SUFFIX ".so"
#endif

// Writes the running executable's path. Returns 0 on success; -1 when the
// buffer is too small, with *size set to the size needed; -2 on any other
// failure.
int KestrovanPlatform_executablePath(char* buffer, uint32_t* size);

// The user id of the active console session (seat0). Returns true and sets
// *uid when there is one; false when there is no active seat, in which case
// the console-user check is skipped.
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

// Ends both directions of a connected socket without closing the
// descriptor: whoever owns the descriptor sees the end and closes it.
void KestrovanPlatform_cutConnection(int socket);

// Instance messaging with the companion monitor: on this platform the calls
// accept their arguments and report failure; no receiver runs.
typedef void (*KestrovanInstructionHandler)();
bool sendIPCMsg(const char* sender, const char* receiver, const char* instruction, const char* extra);
void setStop(KestrovanInstructionHandler handler);
void setRestart(KestrovanInstructionHandler handler);
void setFinal(KestrovanInstructionHandler handler);
void stopMessageReceiver();

#endif
