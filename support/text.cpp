// SPDX-License-Identifier: Apache-2.0
// text.cpp -- memory and C-string helpers, number conversion, splitting,
// replacing, hexadecimal decoding and dotted version comparison.
#include "support/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/codes.h"
#include "support/trace.h"

static const char kModule[] = "Tool";

// Per thread, so that a conversion and the isCharToLongError() that follows
// it on the same thread cannot see another thread's outcome in between.
thread_local int32_t LastErrorCode = 0;

void* newMemSize(uint64_t size) {
  void* block = allocateZeroed(size);
  // Sizes out of bounds are refused without a line; only a heap failure has one.
  if (block == nullptr && size != 0 && size <= KESTROVAN_MEMORY_MAX_BLOCK)
    showMemoryFail(kModule, __LINE__);
  return block;
}

char* newMem(const char* text) {
  if (text == nullptr)
    return nullptr;
  size_t length = strlen(text);
  // Every byte is written: nothing to zero first.
  char* copy = length + 1 <= KESTROVAN_MEMORY_MAX_BLOCK ? (char*)malloc(length + 1) : nullptr;
  if (copy == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  memcpy(copy, text, length + 1);
  return copy;
}

void ArrayCopyFree(char* dst, uint32_t size, char* src) {
  ArrayCopy(dst, size, src);
  freeSecret(src);
}

bool checkNoValue(const char* text) { return text == nullptr || text[0] == '\0'; }

int64_t charToLong(const char* text, bool strict) {
  LastErrorCode = 0;
  if (text == nullptr) {
    LastErrorCode = KESTROVAN_ERR_NO_TEXT;
    return 0;
  }
  if (strict) {
    for (size_t i = 0; text[i] != '\0'; i++) {
      if ((text[i] < '0' || text[i] > '9') && !(i == 0 && text[i] == '-')) {
        LastErrorCode = KESTROVAN_ERR_NOT_NUMBER;
        return 0;
      }
    }
  }
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) {
    LastErrorCode = KESTROVAN_ERR_NOT_NUMBER;
    return 0;
  }
  LastErrorCode = 0;
  return (int64_t)value;
}

bool isCharToLongError() {
  return LastErrorCode == KESTROVAN_ERR_NOT_NUMBER || LastErrorCode == KESTROVAN_ERR_NO_TEXT;
}

char* replace(const char* text, const char* oldText, const char* newText) {
  if (text == nullptr)
    return nullptr;
  if (oldText == nullptr)
    oldText = "";
  if (newText == nullptr)
    newText = "";
  size_t oldLength = strlen(oldText);
  size_t newLength = strlen(newText);
  size_t textLength = strlen(text);
  if (oldLength == 0)
    return newMem(text);

  size_t count = 0;
  for (const char* at = strstr(text, oldText); at != nullptr; at = strstr(at + oldLength, oldText))
    count++;
  uint64_t size = (uint64_t)textLength - (uint64_t)oldLength * count + (uint64_t)newLength * count + 1;
  char* result = (char*)newMemSize(size);
  if (result == nullptr)
    return nullptr;
  char* out = result;
  const char* from = text;
  for (const char* at = strstr(from, oldText); at != nullptr; at = strstr(from, oldText)) {
    memcpy(out, from, (size_t)(at - from));
    out += at - from;
    memcpy(out, newText, newLength);
    out += newLength;
    from = at + oldLength;
  }
  memcpy(out, from, strlen(from) + 1);
  return result;
}

bool startsWith(const char* prefix, const char* mainText) {
  if (prefix == nullptr)
    return true;
  if (mainText == nullptr) {
    showNullParameter("inputMainString", kModule, __LINE__);
    return false;
  }
  size_t length = strlen(prefix);
  return strlen(mainText) >= length && memcmp(mainText, prefix, length) == 0;
}

bool endsWith(const char* suffix, const char* mainText) {
  if (suffix == nullptr)
    return true;
  if (mainText == nullptr)
    return false;
  size_t length = strlen(suffix);
  size_t mainLength = strlen(mainText);
  return mainLength >= length && memcmp(mainText + mainLength - length, suffix, length) == 0;
}

char** getSubStringList(const char* text, const char* delimiter) {
  size_t count = 0;
  size_t delimiterLength = 0;
  bool split = !checkNoValue(text) && !checkNoValue(delimiter);
  if (split) {
    delimiterLength = strlen(delimiter);
    count = 1;
    for (const char* at = strstr(text, delimiter); at != nullptr; at = strstr(at + delimiterLength, delimiter))
      count++;
  }
  char** list = (char**)calloc(count + 1, sizeof(char*));
  if (list == nullptr) {
    showMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  if (!split)
    return list;
  const char* from = text;
  for (size_t i = 0; i < count; i++) {
    const char* at = strstr(from, delimiter);
    size_t length = at != nullptr ? (size_t)(at - from) : strlen(from);
    list[i] = (char*)newMemSize((uint64_t)length + 1);
    if (list[i] == nullptr) {
      freeSubStringList(list);
      return nullptr;
    }
    memcpy(list[i], from, length);
    from = at != nullptr ? at + delimiterLength : from + length;
  }
  return list;
}

void freeSubStringList(char** list) {
  if (list == nullptr)
    return;
  for (size_t i = 0; list[i] != nullptr; i++)
    free(list[i]);
  free(list);
}

char* getRangeValue(const char* text, uint64_t start, uint64_t end) {
  if (text == nullptr || end < start)
    return nullptr;
  char* result = (char*)newMemSize(end - start + 1);
  if (result == nullptr)
    return nullptr;
  // Stay inside the text even when the caller's range runs past its end.
  size_t length = strlen(text);
  if (start < length) {
    uint64_t last = end < length ? end : length;
    memcpy(result, text + start, (size_t)(last - start));
  }
  return result;
}

char* UpToLow(const char* text) {
  if (text == nullptr) {
    showNullParameter("input", kModule, __LINE__);
    return nullptr;
  }
  char* copy = newMem(text);
  if (copy == nullptr)
    return nullptr;
  for (char* c = copy; *c != '\0'; c++) {
    if (*c >= 'A' && *c <= 'Z')
      *c = (char)(*c - 'A' + 'a');
  }
  return copy;
}

unsigned char CharToByte(char c) {
  if (c >= '0' && c <= '9')
    return (unsigned char)(c - '0');
  if (c >= 'A' && c <= 'F')
    return (unsigned char)(c - 'A' + 10);
  if (c >= 'a' && c <= 'f')
    return (unsigned char)(c - 'a' + 10);
  return 0;
}

unsigned char* HexDecode(const char* hex) {
  if (hex == nullptr) {
    showNullParameter("input", kModule, __LINE__);
    return nullptr;
  }
  size_t count = strlen(hex) / 2;
  unsigned char* bytes = (unsigned char*)newMemSize((uint64_t)count + 1);
  if (bytes == nullptr)
    return nullptr;
  for (size_t i = 0; i < count; i++)
    bytes[i] = (unsigned char)(16 * CharToByte(hex[2 * i]) + CharToByte(hex[2 * i + 1]));
  return bytes;
}

// One version text as its list of parts: blanks removed, '.' read as ','.
static char** versionParts(const char* version) {
  char buffer[512];
  ArrayCopy(buffer, sizeof(buffer), version);
  char* noBlanks = replace(buffer, " ", "");
  if (noBlanks == nullptr)
    return nullptr;
  char* commas = replace(noBlanks, ".", ",");
  free(noBlanks);
  if (commas == nullptr)
    return nullptr;
  char** parts = getSubStringList(commas, ",");
  free(commas);
  return parts;
}

static size_t countParts(char** parts) {
  size_t count = 0;
  while (parts[count] != nullptr)
    count++;
  return count;
}

static void showStringCompare(const char* partA, const char* partB) {
  printfColorWarningLine("Version check: ", "String compare mode");
  printfColorWarningLine(" - Version A: ", partA);
  printfColorWarningLine(" - Version B: ", partB);
}

static int32_t compareParts(char** listA, char** listB) {
  size_t count = countParts(listA);
  if (count != countParts(listB))
    return 3;
  for (size_t i = 0; i < count; i++) {
    if (listA[i][0] == '\0' || listB[i][0] == '\0')
      return KESTROVAN_ERR_MISSING_KEY;
  }
  for (size_t i = 0; i < count; i++) {
    const char* partA = listA[i];
    const char* partB = listB[i];
    int64_t a = charToLong(partA, true);
    if (isCharToLongError()) {
      showStringCompare(partA, partB);
      if (strcmp(partA, partB) == 0)
        continue;
      return 2;
    }
    int64_t b = charToLong(partB, true);
    if (isCharToLongError()) {
      if (strcmp(partA, partB) == 0)
        continue;
      showStringCompare(partA, partB);
      return 2;
    }
    if (a < b)
      return -1;
    if (a > b)
      return 1;
  }
  return 0;
}

int32_t checkVersion(const char* versionA, const char* versionB) {
  if (versionA == nullptr) {
    showNullParameter("inputVersionA", kModule, __LINE__);
    return KESTROVAN_ERR_GENERAL;
  }
  if (versionB == nullptr) {
    showNullParameter("inputVersionB", kModule, __LINE__);
    return KESTROVAN_ERR_GENERAL;
  }
  char** listA = versionParts(versionA);
  char** listB = listA != nullptr ? versionParts(versionB) : nullptr;
  int32_t result = KESTROVAN_ERR_GENERAL;
  if (listA == nullptr || listB == nullptr)
    showMemoryFail(kModule, __LINE__);
  else
    result = compareParts(listA, listB);
  freeSubStringList(listA);
  freeSubStringList(listB);
  return result;
}

