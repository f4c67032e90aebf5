// SPDX-License-Identifier: Apache-2.0
// text.h -- memory and C-string helpers: zero-filled allocation, bounded
// copies into fixed buffers, number conversion with LastErrorCode, splitting,
// replacing, hexadecimal decoding and dotted version comparison.
// Every returned string is a fresh heap block the caller frees with free().
#ifndef KESTROVAN_SUPPORT_TEXT_H
#define KESTROVAN_SUPPORT_TEXT_H

#include <cstddef>
#include <cstdint>

#include "support/copy.h"
#include "support/memory.h"

// Outcome of the last charToLong on the calling thread: 0, 61003 (not a
// number) or 61004 (no input).
extern thread_local int32_t LastErrorCode;

void* newMemSize(uint64_t size);      // allocateZeroed, with a line when the heap fails
char* newMem(const char* text);       // heap copy; null for null
void ArrayCopyFree(char* dst, uint32_t size, char* src);        // then wipes and frees src
bool checkNoValue(const char* text);  // null or empty
int64_t charToLong(const char* text, bool strict = false);
bool isCharToLongError();
char* replace(const char* text, const char* oldText, const char* newText);
bool startsWith(const char* prefix, const char* mainText);
bool endsWith(const char* suffix, const char* mainText);
// Null-terminated array of fresh pieces; free each piece and the array
// (freeSubStringList does both).
char** getSubStringList(const char* text, const char* delimiter);
void freeSubStringList(char** list);
char* getRangeValue(const char* text, uint64_t start, uint64_t end);
char* UpToLow(const char* text);
unsigned char* HexDecode(const char* hex);
unsigned char CharToByte(char c);
// 0 equal, 1 A newer, -1 A older, 2 non-numeric part differs, 3 part counts
// differ, 61005 empty part, 61001 missing input or no memory.
int32_t checkVersion(const char* versionA, const char* versionB);

#endif
