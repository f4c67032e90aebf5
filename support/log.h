// SPDX-License-Identifier: Apache-2.0
// log.h -- the levelled, dated, size-rotated log file configured from a
// section of an INI profile, and the INI reader it uses.
#ifndef KESTROVAN_SUPPORT_LOG_H
#define KESTROVAN_SUPPORT_LOG_H

#include <cstdarg>

// The INI reader's answers (their numbers are part of its contract).
enum KestrovanIniResult {
  KESTROVAN_INI_FOUND = 0,
  KESTROVAN_INI_NO_PROFILE = 101,  // the profile cannot be opened
  KESTROVAN_INI_NO_SECTION = 102,
  KESTROVAN_INI_NO_KEY = 103,      // or a bad argument
};

// 0 when the profile gave "Log Level"; KESTROVAN_INI_* from the INI reader
// otherwise; -1 when already initialised.
int zrlog_init(const char* section, const char* profilePath);
// 0 when handed to the writer, -2 when level is above the configured level.
int zrlog(int level, int flags, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Whether a line of level would be written: lets a caller that logs every
// trace line skip putting its arguments together.
bool zrlog_wants(int level);
int zrvlog(int level, int flags, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));
// KESTROVAN_INI_*.
int GetIniProfileString(const char* section, const char* key, char* output,
                        unsigned int outputSize, const char* profilePath);

#endif
