// flags.cpp -- the decoding flags a page attaches to a parameter
// (fixParameter), the map's JSON text form and its masked console display.
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "crypto/crypto.h"
#include "support/support.h"

#define MODULE "Json"

// Flag keys are formed in a buffer of this size (a longer key is cut).
#define FLAG_KEY_SIZE 512
// Only this many characters of a flag's value take part ("true" and a
// terminator fit; a longer value is never "true").
#define FLAG_VALUE_SIZE 8
#define SHARE_SECRET_KEY "Kestrovan_share_secret"
#define SHARE_SECRET_MIN_LENGTH 32

const unsigned char KestrovanJson_ShareIV[16] = {'K', 'e', 's', 't', 'r', 'o', 'v', 'a',
                                                 'n', 'S', 'h', 'a', 'r', 'e', 'I', 'V'};

static const char* const DecodingFlagSuffixes[] = {
    "_KestrovanEncryptFlag",
    "_KestrovanFlag",
    "_KestrovanSlashFlag",
    "_KestrovanBase64Flag",
};
enum { FLAG_ENCRYPT, FLAG_STAR, FLAG_SLASH, FLAG_BASE64, FLAG_NONE };

// Fresh copy of key's stored value (no decoding), or null.
static char* searchRaw(const KestrovanJsonMap* map, const char* key) {
  KestrovanJsonUnit probe = {};
  probe.key = (char*)key;
  return BinarySearchKestrovanJsonMap(map, &probe, 0, map->count - 1);
}

static bool isFlagOn(const KestrovanJsonMap* map, const char* key, const char* suffix) {
  // key and suffix, cut at the buffer's end as snprintf would; every typed
  // read tries four suffixes, so this runs a few times per parameter read.
  char flagKey[FLAG_KEY_SIZE];
  size_t used = 0;
  for (const char* from : {key, suffix}) {
    size_t length = strnlen(from, sizeof(flagKey) - 1 - used);
    memcpy(flagKey + used, from, length);
    used += length;
  }
  flagKey[used] = '\0';
  char* found = searchRaw(map, flagKey);
  if (found == nullptr) {
    return false;
  }
  char buffer[FLAG_VALUE_SIZE];
  ArrayCopy(buffer, sizeof(buffer), found);
  freeSecret(found);
  bool on = strcasecmp(buffer, "true") == 0;
  secureWipe(buffer, sizeof(buffer));
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
  printfColorLine("find key: ", SHARE_SECRET_KEY);
  char* secret = searchRaw(map, SHARE_SECRET_KEY);
  if (secret == nullptr) {
    return copyOrFail(value, __LINE__);
  }
  if (strlen(secret) < SHARE_SECRET_MIN_LENGTH) {
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
  int flag = FLAG_NONE;
  for (int i = FLAG_ENCRYPT; i < FLAG_NONE; i++) {
    if (isFlagOn(map, key, DecodingFlagSuffixes[i])) {
      flag = i;
      break;
    }
  }
  char* decoded = nullptr;
  switch (flag) {
    case FLAG_ENCRYPT:
      return decryptValue(map, value, showMap);
    case FLAG_STAR:
      decoded = replace(value, "*", "\\");
      break;
    case FLAG_SLASH:
      decoded = replace(value, "==KestrovanSlash==", "\\");
      break;
    case FLAG_BASE64:
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

// A row of '*' as long as text, or null.
static char* maskOf(const char* text) {
  size_t length = strlen(text);
  char* mask = (char*)newMemSize(length + 1);
  if (mask != nullptr) {
    memset(mask, '*', length);
  }
  return mask;
}

// One display line per entry; false after an allocation failure.
static bool showUnit(KestrovanJsonMap* map, const KestrovanJsonUnit& unit) {
  size_t keyLength = strlen(unit.key);
  char* label = (char*)newMemSize(keyLength + 3);
  if (label == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return false;
  }
  memcpy(label, unit.key, keyLength);
  memcpy(label + keyLength, ": ", 2);

  if (unit.value == nullptr) {
    printfColorLine(label, unit.data != nullptr ? "[binary_value]" : "[empty]");
    free(label);
    return true;
  }
  char* lower = UpToLow(label);
  if (lower == nullptr) {
    free(label);
    showMemoryFail(MODULE, __LINE__);
    return false;
  }
  bool masked = false;
  if (strcasecmp(unit.key, SHARE_SECRET_KEY) == 0) {
    // Key material never goes to the trace or the log file.
    masked = true;
  } else if (strstr(lower, "kestrovan") != nullptr) {
    masked = false;
  } else if (strstr(lower, "pin") != nullptr || strstr(lower, "pw") != nullptr || strstr(lower, "pass") != nullptr) {
    masked = true;
  } else {
    char hideKey[FLAG_KEY_SIZE];
    snprintf(hideKey, sizeof(hideKey), "%s_KestrovanHide", unit.key);
    masked = readHideFlag(map, hideKey);
  }
  free(lower);

  bool ok = true;
  if (masked) {
    char* mask = maskOf(unit.value);
    if (mask == nullptr) {
      showMemoryFail(MODULE, __LINE__);
      ok = false;
    } else {
      printfColorLine(label, mask);
      free(mask);
    }
  } else {
    printfColorLine(label, unit.value);
  }
  free(label);
  return ok;
}

static void showMapInternal(KestrovanJsonMap* map) {
  printfColorLine("= DISPLAY PARAMETER", " ===== start =====");
  if (map != nullptr) {
    int count = map->count > KESTROVAN_MAP_CAPACITY ? KESTROVAN_MAP_CAPACITY : map->count;
    for (int i = 0; i < count; i++) {
      if (map->units[i].key == nullptr) {
        continue;
      }
      if (!showUnit(map, map->units[i])) {
        break;
      }
    }
  }
  printfColorLine("= DISPLAY PARAMETER", " ===== end =====");
}

void showKestrovanJsonMap(KestrovanJsonMap* map) {
  showMapInternal(map);
}
