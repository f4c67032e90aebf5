// log.h -- the levelled, dated, size-rotated log file configured from a
// section of an INI profile, and the INI reader it uses.
#ifndef KESTROVAN_SUPPORT_LOG_H
#define KESTROVAN_SUPPORT_LOG_H

#include <cstdarg>

// 0 when the profile gave "Log Level"; 101/102/103 from the INI reader
// otherwise; -1 when already initialised.
int zrlog_init(const char* section, const char* profilePath);
// 0 when handed to the writer, -2 when level is above the configured level.
int zrlog(int level, int flags, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Whether a line of level would be written: lets a caller that logs every
// trace line skip putting its arguments together.
bool zrlog_wants(int level);
int zrvlog(int level, int flags, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));
// 0 found; 101 profile cannot be opened; 102 no section; 103 no key / bad argument.
int GetIniProfileString(const char* section, const char* key, char* output,
                        unsigned int outputSize, const char* profilePath);

#endif
