// SPDX-License-Identifier: Apache-2.0
// console_seam.cpp -- the console user of the test build of the service:
// read from $HOME/console-user, so that a test can hand the console to
// another user while the service runs. Absent file: no active session.
// Linked only into NORTAKestrovanSeam, never into the shipped binary.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

bool KestrovanTestSeam_consoleUser(int32_t* uid) {
  const char* home = getenv("HOME");
  if (home == nullptr || uid == nullptr)
    return false;
  std::string path = std::string(home) + "/console-user";
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr)
    return false;
  int value = 0;
  bool ok = fscanf(file, "%d", &value) == 1;
  fclose(file);
  if (ok)
    *uid = (int32_t)value;
  return ok;
}
