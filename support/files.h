// files.h -- executable and copy folders, existence, reading a text file
// whole, copying and deleting adapter copies, timestamps, the seconds
// counter, session identifiers and random bytes.
#ifndef KESTROVAN_SUPPORT_FILES_H
#define KESTROVAN_SUPPORT_FILES_H

#include <cstdint>

char* getExecutePath();                 // folder of the running executable, or null
// "<base>" or "<base>/<name>", cut to 4095 bytes; the base is the user's
// runtime folder (KestrovanPlatform_runtimeFolder) when it is private, else
// "/tmp". Heap text, or null without memory.
char* getCopyPath(const char* name);
bool isFileExist(const char* path);
char* readFile(const char* path, const char* mode);
bool Kestrovan_CopyFile(const char* source, const char* destination);
bool deleteFile(const char* path);
char* getTime(const char* format = nullptr);   // fresh 64-byte heap text
uint64_t getTimeValue();                // seconds since 2015-01-01 00:00:00 local
char* genUUID();                        // "XXXXXXXX_SID", or null without randomness
bool getSecureRandom(void* buffer, int count);

// True when path is a real directory (not a symlink) owned by this process's
// user and not writable by group or others. Otherwise prints a warning line
// saying why and returns false; callers then treat the folder as absent.
bool checkPrivateFolder(const char* path);

#endif
