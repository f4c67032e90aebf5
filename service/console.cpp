// SPDX-License-Identifier: Apache-2.0
// console.cpp -- reading, recording and checking the console user.
#include "service/console.h"

#include <atomic>
#include <unistd.h>

#include "platform/platform.h"
#include "support/trace.h"

#ifdef KESTROVAN_CONSOLE_USER_SEAM
// Only the test build of this library defines the seam: the shipped library
// has no code path through which anything but the platform answers.
bool KestrovanTestSeam_consoleUser(int32_t* uid);
#endif

// Written once before the listeners start, read by every listener thread.
static std::atomic<int32_t> uid{0};

bool KestrovanConsole_read(int32_t* out) {
#ifdef KESTROVAN_CONSOLE_USER_SEAM
  return KestrovanTestSeam_consoleUser(out);
#else
  return KestrovanPlatform_consoleUser(out);
#endif
}

void KestrovanConsole_record() {
  int32_t current = 0;
  if (!KestrovanConsole_read(&current))
    current = (int32_t)getuid();
  uid.store(current);
}

int32_t KestrovanConsole_recorded() {
  return uid.load();
}

bool KestrovanConsole_check() {
  int32_t current = 0;
  if (!KestrovanConsole_read(&current))
    return true;
  int32_t recorded = uid.load();
  printfColorLine("Org_User: ", (int)recorded);
  printfColorLine("Check_User: ", (int)current);
  return current == recorded;
}
