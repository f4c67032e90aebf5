// SPDX-License-Identifier: Apache-2.0
// copy.cpp -- bounded copies into fixed buffers. Quiet: the trace uses
// them, so they print nothing.
#include "support/copy.h"

#include <cstring>

void ArrayCopy(char* dst, uint32_t size, const char* src) {
  if (dst == nullptr || src == nullptr || size == 0)
    return;
  size_t length = strnlen(src, size);
  size_t count = length < size ? length + 1 : size;
  memmove(dst, src, count);
  dst[size - 1] = '\0';
}

void StringAppend(char* buffer, unsigned int bufferSize, const char* text) {
  if (buffer == nullptr || text == nullptr || bufferSize == 0)
    return;
  size_t used = strnlen(buffer, bufferSize);
  if (used >= bufferSize)
    return;
  ArrayCopy(buffer + used, (uint32_t)(bufferSize - used), text);
}
