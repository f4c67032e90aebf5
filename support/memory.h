// SPDX-License-Identifier: Apache-2.0
// memory.h -- memory without a word on the console: zero-filled blocks
// within a fixed bound, wiping and random bytes. Failures come back as
// results only, so that code an adapter links (the sealing code of the
// adapter SDK) can use these without the service's trace; the service's own
// helpers in text.h and files.h print the failure lines on top of them.
#ifndef KESTROVAN_SUPPORT_MEMORY_H
#define KESTROVAN_SUPPORT_MEMORY_H

#include <cstddef>
#include <cstdint>

// The largest block handed out: 2^31 - 1 bytes (counts then fit an int).
#define KESTROVAN_MEMORY_MAX_BLOCK 0x7FFFFFFFull

// calloc'ed block; null for 0, above KESTROVAN_MEMORY_MAX_BLOCK or without
// memory.
void* allocateZeroed(uint64_t size);

// Overwrites len bytes in a way the compiler cannot drop.
void secureWipe(void* data, size_t len);
// Wipes a NUL-terminated heap text and frees it; null is fine.
void freeSecret(char* text);

// Fills count bytes from the kernel's random source. Returns 0, or the errno
// of the failure (the bytes filled so far are wiped then).
int fillRandom(void* buffer, size_t count);

#endif
