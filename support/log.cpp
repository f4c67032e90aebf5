// SPDX-License-Identifier: Apache-2.0
// log.cpp -- the levelled log file: configured once from a section of an INI
// profile, one line per call appended to a dated file that moves on to a
// numbered file when it grows past its size limit; and the INI reader.
#include "support/log.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <unistd.h>

#include <sys/stat.h>

#include "platform/platform.h"
#include "support/copy.h"

static const char DefaultLogFile[] = "C:\\ZRLog.log";

static char log_file[128] = "";
static std::atomic<int32_t> log_level{0};
static int64_t log_maxsize = 0;
static int32_t log_index = 0;
static int32_t log_init = 0;
// Serialises writing, and guards the configuration and log_index.
static std::mutex log_lock;

static const char* const kLabels[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};

// Levels above 5 are detail beyond debugging: they carry the debug label.
static const char* levelLabel(int level) {
  if (level <= 0)
    return kLabels[0];
  if (level >= 5)
    return kLabels[5];
  return kLabels[level];
}

// ---------------------------------------------------------------------------
// INI profile reader

// Longest profile line examined; the rest of a longer line is skipped, never
// read as a line of its own.
enum { kIniLine = 4096 };

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Reads one physical line without its newline. False at the end of the file.
static bool readIniLine(FILE* file, char* line, size_t size) {
  size_t length = 0;
  int c = fgetc(file);
  if (c == EOF)
    return false;
  for (; c != EOF && c != '\n'; c = fgetc(file)) {
    if (length + 1 < size)
      line[length++] = (char)c;
  }
  line[length] = '\0';
  return true;
}

// A header is "[name]" with optional white space outside the brackets and
// around the name. On success *name and *length give the trimmed name.
static bool isSection(const char* line, const char** name, size_t* length) {
  const char* start = line;
  while (isBlank(*start))
    start++;
  if (*start != '[')
    return false;
  const char* end = start + strlen(start);
  while (end > start && isBlank(end[-1]))
    end--;
  if (end - start < 2 || end[-1] != ']')
    return false;
  const char* first = start + 1;
  const char* last = end - 1;
  while (first < last && isBlank(*first))
    first++;
  while (last > first && isBlank(last[-1]))
    last--;
  *name = first;
  *length = (size_t)(last - first);
  return true;
}

static bool gotoSection(FILE* file, const char* section) {
  size_t wanted = strlen(section);
  if (wanted == 0)
    return false;
  char line[kIniLine];
  while (readIniLine(file, line, sizeof(line))) {
    const char* name;
    size_t length;
    if (isSection(line, &name, &length) && length == wanted && strncasecmp(name, section, wanted) == 0)
      return true;
  }
  return false;
}

// Value after '=': a quoted value is the text between the first and the
// last of its quote character; otherwise the whole text, blanks included.
static void getValue(char* value, char* output, unsigned int outputSize) {
  size_t length = strlen(value);
  while (length > 0 && (value[length - 1] == '\r' || value[length - 1] == '\n'))
    value[--length] = '\0';
  char* first = value;
  while (isBlank(*first))
    first++;
  if (*first == '"' || *first == '\'') {
    char* last = strrchr(first + 1, *first);
    if (last != nullptr) {
      *last = '\0';
      ArrayCopy(output, outputSize, first + 1);
      return;
    }
  }
  ArrayCopy(output, outputSize, value);
}

// The key is the text before the first '=', compared from the line's first
// character: blanks around it count, so "Log Level = 5" is not "Log Level".
// An indented ';' line is a comment as well.
static int getEntry(FILE* file, const char* key, char* output, unsigned int outputSize) {
  size_t wanted = strlen(key);
  char line[kIniLine];
  while (readIniLine(file, line, sizeof(line))) {
    const char* name;
    size_t length;
    if (isSection(line, &name, &length))
      return KESTROVAN_INI_NO_KEY;
    const char* first = line;
    while (isBlank(*first))
      first++;
    if (*first == ';')
      continue;
    char* equals = strchr(line, '=');
    if (equals == nullptr)
      continue;
    if ((size_t)(equals - line) != wanted || strncasecmp(line, key, wanted) != 0)
      continue;
    getValue(equals + 1, output, outputSize);
    return KESTROVAN_INI_FOUND;
  }
  return KESTROVAN_INI_NO_KEY;
}

int GetIniProfileString(const char* section, const char* key, char* output, unsigned int outputSize,
                        const char* profilePath) {
  if (section == nullptr || key == nullptr || output == nullptr || outputSize < 1 || profilePath == nullptr)
    return KESTROVAN_INI_NO_KEY;
  FILE* file = fopen(profilePath, "re");
  if (file == nullptr)
    return KESTROVAN_INI_NO_PROFILE;
  int result = KESTROVAN_INI_NO_SECTION;
  if (gotoSection(file, section)) {
    output[0] = '\0';
    result = getEntry(file, key, output, outputSize);
  }
  fclose(file);
  return result;
}

// ---------------------------------------------------------------------------
// Log file

static bool hasBareName(const char* path) { return strchr(path, '/') == nullptr && strchr(path, '\\') == nullptr; }

int zrlog_init(const char* section, const char* profilePath) {
  char path[512];
  int result;
  {
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_init == 1)
      return -1;
    if (section == nullptr || profilePath == nullptr)
      return KESTROVAN_INI_NO_KEY;
    if (hasBareName(profilePath)) {
      // First in the user's home, never in the /tmp every user shares.
      char probe[128];
      const char* home = getenv("HOME");
      bool found = false;
      if (home != nullptr && home[0] == '/') {
        snprintf(path, sizeof(path), "%s/%s", home, profilePath);
        found = GetIniProfileString(section, "Log File", probe, sizeof(probe), path) == 0;
      }
      if (!found)
        snprintf(path, sizeof(path), "/ZRLog/%s", profilePath);
    } else {
      ArrayCopy(path, sizeof(path), profilePath);
    }
    if (GetIniProfileString(section, "Log File", log_file, sizeof(log_file), path) != 0)
      ArrayCopy(log_file, sizeof(log_file), DefaultLogFile);
    char size[64];
    log_maxsize = GetIniProfileString(section, "Log MaxSize", size, sizeof(size), path) == 0 ? atol(size) : 0;
    char level[16];
    result = GetIniProfileString(section, "Log Level", level, sizeof(level), path);
    if (result == 0) {
      log_level.store(atoi(level));
      log_init = 1;
    } else {
      log_level.store(0);
    }
  }
  if (result == 0)
    zrlog(log_level.load(), 0, "Log Enable '%s'", path);
  return result;
}

// The current file name and line timestamp. Called under log_lock.
static bool getEnv(char* name, size_t nameSize, char* stamp, size_t stampSize) {
  name[0] = '\0';
  stamp[0] = '\0';
  struct timespec now;
  struct tm local;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || localtime_r(&now.tv_sec, &local) == nullptr)
    return false;
  int year = local.tm_year + 1900;
  int month = local.tm_mon + 1;

  // Only a dot in the file's own name starts the extension; a dotted folder
  // name must not move the date into the folder part.
  const char* slash = strrchr(log_file, '/');
  const char* dot = strrchr(slash != nullptr ? slash : log_file, '.');
  for (;;) {
    if (dot != nullptr) {
      int base = (int)(dot - log_file);
      if (log_index >= 1)
        snprintf(name, nameSize, "%.*s_%04d%02d%02d_%d%s", base, log_file, year, month, local.tm_mday, log_index, dot);
      else
        snprintf(name, nameSize, "%.*s_%04d%02d%02d%s", base, log_file, year, month, local.tm_mday, dot);
    } else {
      snprintf(name, nameSize, "%s_%04d%02d%02d", log_file, year, month, local.tm_mday);
    }
    // Without an extension there is no place for a rotation number: such a
    // file keeps growing past the limit.
    if (log_maxsize <= 0 || dot == nullptr || log_index == INT32_MAX)
      break;
    struct stat info;
    if (stat(name, &info) != 0 || (int64_t)info.st_size <= log_maxsize)
      break;
    log_index++;
  }
  snprintf(stamp, stampSize, "%d-%02d-%02d %02d:%02d:%02d.%03lu", year, month, local.tm_mday, local.tm_hour,
           local.tm_min, local.tm_sec, (unsigned long)(now.tv_nsec / 1000000));
  return true;
}

bool zrlog_wants(int level) { return level <= log_level.load(std::memory_order_relaxed); }

int zrvlog(int level, int flags, const char* format, va_list arguments) {
  (void)flags;
  if (level > log_level.load())
    return -2;
  if (format == nullptr)
    return 0;
  std::lock_guard<std::mutex> hold(log_lock);
  // Before any profile named a file there is nowhere to write.
  if (log_file[0] == '\0')
    return 0;
  char name[256];
  char stamp[128];
  if (!getEnv(name, sizeof(name), stamp, sizeof(stamp)))
    return 0;
  // The log holds what pages sent: private to this user.
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return 0;
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) {
    close(fd);
    return 0;
  }
  fprintf(file, "%s %s [%05lu-%05lu] ", stamp, levelLabel(level), (unsigned long)getpid() % 100000,
          (unsigned long)(KestrovanPlatform_threadId() % 100000));
  vfprintf(file, format, arguments);
  fputc('\n', file);
  fclose(file);
  return 0;
}

int zrlog(int level, int flags, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = zrvlog(level, flags, format, arguments);
  va_end(arguments);
  return result;
}
