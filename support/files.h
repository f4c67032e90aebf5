// SPDX-License-Identifier: Apache-2.0
// files.h -- executable and copy folders, existence, reading a text file
// whole, copying and deleting adapter copies, timestamps, the seconds
// counter, session identifiers and random bytes.
#ifndef KESTROVAN_SUPPORT_FILES_H
#define KESTROVAN_SUPPORT_FILES_H

#include <cstdint>

char* getExecutePath();                 // folder of the running executable, or null
// "<base>" or "<base>/<name>", cut to 4095 bytes; the base is the user's
// runtime folder (KestrovanPlatform_runtimeFolder) when it is private, else
// the user's cache folder ("$HOME" KESTROVAN_CACHE_FOLDER, made 0700 when
// missing, by its real path) when that is private; never a folder shared
// with other users. Heap text, or null (with a warning line saying why)
// when the user has no private folder, or without memory.
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

// At start: removes the session copies an earlier run left in the copy
// folder (it ended without releasing its sessions): only this user's
// regular files named "<name>-XXXXXXXX_SID<suffix>", each with a trace
// line. Keeps the folder open with a shared lock for the rest of the
// process, and removes nothing while another run holds that lock. Returns
// the number removed, -1 when nothing was looked at (folder not private, or
// in use).
int removeCopyLeftovers(const char* folder);

#endif
