// SPDX-License-Identifier: Apache-2.0
// write.cpp -- writing a file whole or not at all (the steps of
// write_whole.inc), with the reason as text.
#include "support/write.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/write_whole.inc"

int KestrovanFiles_writeWhole(const char* path, const void* data, size_t length, unsigned mode, char* reason,
                              size_t reasonSize) {
  if (reason != nullptr && reasonSize > 0)
    reason[0] = '\0';
  int error = EINVAL;
  int step = KESTROVAN_WRITE_CREATE;
  if (path != nullptr && (data != nullptr || length == 0))
    step = writeWhole(path, data, length, (mode_t)(mode & 0777), &error);
  if (step != KESTROVAN_WRITE_DONE && reason != nullptr && reasonSize > 0)
    snprintf(reason, reasonSize, "%s: %s: %s", path != nullptr ? path : "(no file)", writeWholeStepName(step),
             strerror(error));
  return step;
}
