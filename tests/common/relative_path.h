// SPDX-License-Identifier: Apache-2.0
// relative_path.h -- an absolute path named relative to the working folder
// ("../../tmp/x" from /a/b), for tests that check a relative setting is
// refused although it names the same folder.
#ifndef KESTROVAN_TESTS_COMMON_RELATIVE_PATH_H
#define KESTROVAN_TESTS_COMMON_RELATIVE_PATH_H

#include <climits>
#include <string>
#include <unistd.h>

// Empty when the working folder cannot be read.
inline std::string relativeToWorkingFolder(const std::string& absolute) {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr)
    return std::string();
  std::string value;
  for (const char* p = cwd; *p != '\0'; p++)
    if (*p == '/' && p[1] != '\0')
      value += "../";
  return value + absolute.substr(1);
}

#endif
