// SPDX-License-Identifier: Apache-2.0
// memory.cpp -- zero-filled blocks within a bound, wiping and random bytes,
// reporting failures only by their results.
#include "support/memory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>

void* allocateZeroed(uint64_t size) {
  if (size == 0 || size > KESTROVAN_MEMORY_MAX_BLOCK)
    return nullptr;
  return calloc((size_t)size, 1);
}

void secureWipe(void* data, size_t len) {
  if (data != nullptr && len > 0)
    explicit_bzero(data, len);
}

void freeSecret(char* text) {
  if (text == nullptr)
    return;
  secureWipe(text, strlen(text));
  free(text);
}

int fillRandom(void* buffer, size_t count) {
  unsigned char* out = (unsigned char*)buffer;
  size_t done = 0;
  while (done < count) {
    ssize_t got = getrandom(out + done, count - done, 0);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      int error = errno;
      secureWipe(buffer, done);
      return error;
    }
    done += (size_t)got;
  }
  return 0;
}
