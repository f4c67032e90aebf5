// SPDX-License-Identifier: Apache-2.0
// copy.h -- bounded copies into fixed buffers, quiet (the trace uses them).
#ifndef KESTROVAN_SUPPORT_COPY_H
#define KESTROVAN_SUPPORT_COPY_H

#include <cstdint>

void ArrayCopy(char* dst, uint32_t size, const char* src);  // always terminates
// Appends text after what buffer holds, cut at the buffer's end.
void StringAppend(char* buffer, unsigned int bufferSize, const char* text);

#endif
