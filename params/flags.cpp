// flags.cpp -- the decoding flags a page attaches to a parameter
// (fixParameter), the map's JSON text form and its masked console display.
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "crypto/crypto.h"
#include "sdk/sdk.h"
#include "support/support.h"

#define MODULE "Json"


// Fresh copy of key's stored value (no decoding), or null.
static char* searchRaw(const KestrovanJsonMap* map, const char* key) {
  KestrovanJsonUnit probe = {};
  probe.key = (char*)key;
  return BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
}

// The service's maps are sorted: flags are found by the binary search.
static bool isFlagOn(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  char flagKey[KESTROVAN_FLAG_KEY_SIZE];
  KestrovanParam_flagKey(flagKey, key, suffix);
  char* found = searchRaw(map, flagKey);
  if (found == nullptr) {
    return false;
  }
  bool on = KestrovanParam_isOn(found, strlen(found));
  freeSecret(found);
  return on;
}

static char* copyOrFail(const char* value, int line) {
  showMemoryFail(MODULE, line);
  return newMem(value);
}

static void showMapInternal(KestrovanJsonMap* map);

// Opens a hex AES-256-CBC parameter with the page's shared secret. Any
// failure, a secret too short to be an AES-256 key included, leaves the value
// unchanged.
static char* decryptValue(KestrovanJsonMap* map, const char* value, bool showMap) {
  if (showMap) {
    showMapInternal(map);
  }
  printfColorLine("find key: ", KESTROVAN_SHARE_SECRET_KEY);
  char* secret = searchRaw(map, KESTROVAN_SHARE_SECRET_KEY);
  if (secret == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  if (strlen(secret) < KESTROVAN_SHARE_SECRET_MIN_LENGTH) {
    freeSecret(secret);
    return copyOrFail(value, __LINE__);
  }
  unsigned long cipherLength = (unsigned long)(strlen(value) / 2);
  unsigned char* cipher = cipherLength > 0 ? HexDecode(value) : nullptr;
  if (cipher == nullptr) {
    freeSecret(secret);
    return copyOrFail(value, __LINE__);
  }
  int openedLength = 0;
  char* plain = (char*)AES256_Decrypt_CBC(cipher, cipherLength, (const unsigned char*)secret,
                                          KestrovanJson_ShareIV, openedLength);
  secureWipe(cipher, cipherLength);
  free(cipher);
  freeSecret(secret);
  if (plain == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  return plain;
}

// fixParameter with control over the map display of the encrypt step: the
// display reads hide flags through here with showMap false, so a hide flag
// that is itself sealed is still opened without the display re-entering.
static char* fixParameterInternal(KestrovanJsonMap* map, const char* key, const char* value, bool showMap) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return newMem(value);
  }
  if (key == nullptr) {
    showNullParameter("inputKey", MODULE, __LINE__);
    return newMem(value);
  }
  if (value == nullptr) {
    showNullParameter("inputValue", MODULE, __LINE__);
    return nullptr;
  }
  int flag = KESTROVAN_FLAG_NONE;
  for (int i = KESTROVAN_FLAG_ENCRYPT; i < KESTROVAN_FLAG_NONE; i++) {
    if (isFlagOn(map, key, KestrovanParam_FlagSuffixes[i])) {
      flag = i;
      break;
    }
  }
  char* decoded = nullptr;
  switch (flag) {
    case KESTROVAN_FLAG_ENCRYPT:
      return decryptValue(map, value, showMap);
    case KESTROVAN_FLAG_STAR:
      decoded = replace(value, "*", "\\");
      break;
    case KESTROVAN_FLAG_SLASH:
      decoded = replace(value, "==KestrovanSlash==", "\\");
      break;
    case KESTROVAN_FLAG_BASE64:
      decoded = Base64Decode(value);
      break;
    default: {
      char* copy = newMem(value);
      if (copy == nullptr) {
        showMemoryFail(MODULE, __LINE__);
      }
      return copy;
    }
  }
  if (decoded == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  return decoded;
}

char* fixParameter(KestrovanJsonMap* map, const char* key, const char* value) {
  return fixParameterInternal(map, key, value, true);
}

char* getKestrovanMapString(const KestrovanJsonMap* map, bool encode) {
  if (map == nullptr) {
    showNullParameter("inputKestrovanJson", MODULE, __LINE__);
    return nullptr;
  }
  int count = map->count;
  if (count < 0) {
    count = 0;
  }
  if (count > KESTROVAN_MAP_CAPACITY) {
    count = KESTROVAN_MAP_CAPACITY;
  }

  // Encoded values are made once and kept until the text is assembled.
  char* encoded[KESTROVAN_MAP_CAPACITY] = {};
  bool failed = false;
  uint64_t total = 2 + 1;  // braces and terminator
  int written = 0;
  for (int i = 0; i < count && !failed; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    const char* text = unit.value;
    if (encode) {
      encoded[i] = Base64Encode(unit.value);
      if (encoded[i] == nullptr) {
        failed = true;
        break;
      }
      text = encoded[i];
    }
    total += strlen(unit.key) + strlen(text) + 6;  // "k": "v"
    if (written > 0) {
      total += 2;  // ", "
    }
    written++;
  }

  char* result = failed ? nullptr : (char*)newMemSize(total);
  if (result != nullptr) {
    char* cursor = result;
    *cursor++ = '{';
    bool first = true;
    for (int i = 0; i < count; i++) {
      const KestrovanJsonUnit& unit = map->units[i];
      if (unit.value == nullptr || unit.key == nullptr) {
        continue;
      }
      const char* text = encode ? encoded[i] : unit.value;
      if (!first) {
        memcpy(cursor, ", ", 2);
        cursor += 2;
      }
      first = false;
      size_t keyLength = strlen(unit.key);
      size_t textLength = strlen(text);
      *cursor++ = '"';
      memcpy(cursor, unit.key, keyLength);
      cursor += keyLength;
      memcpy(cursor, "\": \"", 4);
      cursor += 4;
      memcpy(cursor, text, textLength);
      cursor += textLength;
      *cursor++ = '"';
    }
    *cursor++ = '}';
    *cursor = '\0';
  } else {
    showMemoryFail(MODULE, __LINE__);
  }
  for (int i = 0; i < count; i++) {
    freeSecret(encoded[i]);
  }
  return result;
}

// The hide flag of a displayed entry, decoded like any typed read but without
// the encrypt step printing the map again.
static bool readHideFlag(KestrovanJsonMap* map, const char* hideKey) {
  char* found = searchRaw(map, hideKey);
  if (found == nullptr) {
    return false;
  }
  char* decoded = fixParameterInternal(map, hideKey, found, false);
  freeSecret(found);
  if (decoded == nullptr) {
    return false;
  }
  bool on = strcasecmp(decoded, "true") == 0;
  freeSecret(decoded);
  return on;
}

// One display line per entry. Keys and
// values are shown cut to the trace's bound with their full length: a
// 64 MiB field costs one short line, not 64 MiB of trace and log.
static void showUnit(KestrovanJsonMap* map, const KestrovanJsonUnit& unit) {
  KestrovanTraceText keyText;
  const char* key = traceText(unit.key, keyText);
  size_t keyLength = strlen(key);
  char label[sizeof(KestrovanTraceText) + 2];
  memcpy(label, key, keyLength);
  memcpy(label + keyLength, ": ", 3);

  if (unit.value == nullptr) {
    printfColorLine(label, unit.data != nullptr ? "[binary_value]" : "[empty]");
    return;
  }
  // The masking tests look at the whole key, not at its shown part.
  bool masked = false;
  if (strcasecmp(unit.key, KESTROVAN_SHARE_SECRET_KEY) == 0) {
    // Key material never goes to the trace or the log file.
    masked = true;
  } else if (strcasestr(unit.key, "kestrovan") != nullptr) {
    masked = false;
  } else if (strcasestr(unit.key, "pin") != nullptr || strcasestr(unit.key, "pw") != nullptr ||
             strcasestr(unit.key, "pass") != nullptr) {
    masked = true;
  } else {
    char hideKey[KESTROVAN_FLAG_KEY_SIZE];
    snprintf(hideKey, sizeof(hideKey), "%s_KestrovanHide", unit.key);
    masked = readHideFlag(map, hideKey);
  }

  KestrovanTraceText valueText;
  printfColorLine(label, masked ? traceMask(strlen(unit.value), valueText) : traceText(unit.value, valueText));
}

static void showMapInternal(KestrovanJsonMap* map) {
  printfColorLine("= DISPLAY PARAMETER", " ===== start =====");
  if (map != nullptr) {
    int count = map->count > KESTROVAN_MAP_CAPACITY ? KESTROVAN_MAP_CAPACITY : map->count;
    for (int i = 0; i < count; i++) {
      if (map->units[i].key == nullptr) {
        continue;
      }
      showUnit(map, map->units[i]);
    }
  }
  printfColorLine("= DISPLAY PARAMETER", " ===== end =====");
}

void showKestrovanJsonMap(KestrovanJsonMap* map) {
  showMapInternal(map);
}
