// flags.cpp -- the decoding flags a page attaches to a parameter
// (fixParameter), the map's JSON text form and its masked console display.
#include "params/params.h"

#include "include/kestrovan/adapter_params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "crypto/crypto.h"
#include "support/support.h"

#define MODULE "Json"

// Flag keys are formed in a buffer of this size (a longer key is cut).
#define FLAG_KEY_SIZE 512
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
  // Every typed read tries four suffixes: the flag's entry is found and read
  // where it lies, with no key put together and no copy.
  static_assert(KESTROVAN_JOINED_KEY_MAX == FLAG_KEY_SIZE - 1, "flag keys are cut where they always were");
  const KestrovanJsonUnit* unit = KestrovanJson_findJoined(map, key, suffix);
  if (unit == nullptr) {
    return false;
  }
  // The value as text (bytes read up to a zero byte), equal to "true".
  if (unit->value != nullptr) {
    return strcasecmp(unit->value, "true") == 0;
  }
  return unit->data != nullptr && unit->dataLength >= 4 && strncasecmp((const char*)unit->data, "true", 4) == 0 &&
         (unit->dataLength == 4 || unit->data[4] == '\0');
}

// The first decoding flag that is on for key, or FLAG_NONE. Every flag's
// key begins with "<key>_Kestrovan": when no entry's does (nearly always),
// one lookup answers for all four.
static int decodingFlag(const KestrovanJsonMap* map, const char* key) {
  if (!KestrovanJson_anyJoined(map, key, "_Kestrovan")) {
    return FLAG_NONE;
  }
  for (int i = FLAG_ENCRYPT; i < FLAG_NONE; i++) {
    if (isFlagOn(map, key, DecodingFlagSuffixes[i])) {
      return i;
    }
  }
  return FLAG_NONE;
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
  int flag = decodingFlag(map, key);
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

// ---- strict reads for adapters (include/kestrovan/adapter_params.h) ----

// The entry of key, or null. A linear scan: it needs the entry itself (a byte
// value's length), and an adapter may hand in a map it filled unsorted.
static const KestrovanJsonUnit* findEntry(const KestrovanJsonMap* map, const char* key) {
  int count = map->count < KESTROVAN_MAP_CAPACITY ? map->count : KESTROVAN_MAP_CAPACITY;
  for (int i = 0; i < count; i++) {
    if (map->units[i].key != nullptr && strcasecmp(map->units[i].key, key) == 0) {
      return &map->units[i];
    }
  }
  return nullptr;
}

static int hexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static int base64Digit(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A decoded value: length bytes and a zero byte after them.
struct Decoded {
  unsigned char* bytes = nullptr;
  size_t length = 0;
};

static bool allocate(Decoded* out, size_t room) {
  out->bytes = (unsigned char*)newMemSize((uint64_t)room + 1);
  return out->bytes != nullptr;
}

static void discard(Decoded* out) {
  if (out->bytes != nullptr) {
    secureWipe(out->bytes, out->length + 1);
    free(out->bytes);
  }
  out->bytes = nullptr;
  out->length = 0;
}

// Base64 with white space skipped, the three percent escapes of form
// encoding accepted and at most two '=' at the very end; anything else, or
// a trailing group too short to hold a byte, does not decode.
static int decodeBase64Strict(const unsigned char* in, size_t length, Decoded* out) {
  if (!allocate(out, length / 4 * 3 + 3)) return KESTROVAN_PARAM_NO_MEMORY;
  uint32_t accumulator = 0;
  int bits = 0;
  size_t padding = 0;
  bool ok = true;
  for (size_t i = 0; i < length && ok; i++) {
    unsigned char c = in[i];
    if (c == '%') {
      if (i + 2 >= length) {
        ok = false;
        break;
      }
      unsigned char a = in[i + 1], b = (unsigned char)(in[i + 2] | 0x20);
      if (a == '2' && b == 'b') c = '+';
      else if (a == '2' && b == 'f') c = '/';
      else if (a == '3' && b == 'd') c = '=';
      else ok = false;
      i += 2;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      padding++;
      continue;
    }
    int v = base64Digit(c);
    if (v < 0 || padding > 0) {
      ok = false;
      break;
    }
    accumulator = (accumulator << 6) | (uint32_t)v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->bytes[out->length++] = (unsigned char)(accumulator >> bits);
    }
  }
  secureWipe(&accumulator, sizeof(accumulator));
  if (!ok || bits >= 6 || padding > 2) {
    discard(out);
    return KESTROVAN_PARAM_UNDECODABLE;
  }
  return KESTROVAN_PARAM_OK;
}

// Every occurrence of token becomes one backslash.
static int replaceStrict(const unsigned char* in, size_t length, const char* token, Decoded* out) {
  if (!allocate(out, length)) return KESTROVAN_PARAM_NO_MEMORY;
  size_t tokenLength = strlen(token);
  for (size_t i = 0; i < length;) {
    if (i + tokenLength <= length && memcmp(in + i, token, tokenLength) == 0) {
      out->bytes[out->length++] = '\\';
      i += tokenLength;
    } else {
      out->bytes[out->length++] = in[i++];
    }
  }
  return KESTROVAN_PARAM_OK;
}

// Hex AES-256-CBC text opened with the request's shared secret. A missing or
// short secret, odd or non-hex text, and cipher text that does not open to
// the sealed form (the wrong secret) all leave the value undecodable.
static int decryptStrict(const KestrovanJsonMap* map, const unsigned char* in, size_t length, Decoded* out) {
  const KestrovanJsonUnit* secret = findEntry(map, SHARE_SECRET_KEY);
  if (secret == nullptr || secret->value == nullptr || strlen(secret->value) < SHARE_SECRET_MIN_LENGTH ||
      length == 0 || length % 2 != 0) {
    return KESTROVAN_PARAM_UNDECODABLE;
  }
  size_t cipherLength = length / 2;
  unsigned char* cipher = (unsigned char*)newMemSize((uint64_t)cipherLength);
  if (cipher == nullptr) return KESTROVAN_PARAM_NO_MEMORY;
  bool hex = true;
  for (size_t i = 0; i < cipherLength && hex; i++) {
    int high = hexDigit(in[2 * i]), low = hexDigit(in[2 * i + 1]);
    hex = high >= 0 && low >= 0;
    cipher[i] = (unsigned char)(high * 16 + low);
  }
  size_t textLength = 0;
  unsigned char* text = hex ? AES256_Open_CBC(cipher, (unsigned long)cipherLength,
                                              (const unsigned char*)secret->value, KestrovanJson_ShareIV, &textLength)
                            : nullptr;
  secureWipe(cipher, cipherLength);
  free(cipher);
  if (text == nullptr) return KESTROVAN_PARAM_UNDECODABLE;
  out->bytes = text;
  out->length = textLength;
  return KESTROVAN_PARAM_OK;
}

extern "C" int KestrovanParam_Read(const KestrovanJsonMap* map, const char* key, unsigned char** value,
                                   size_t* length, int* encoding) {
  if (value != nullptr) *value = nullptr;
  if (length != nullptr) *length = 0;
  if (map == nullptr || key == nullptr || value == nullptr || length == nullptr) {
    return KESTROVAN_PARAM_BAD_ARGUMENTS;
  }
  const KestrovanJsonUnit* unit = findEntry(map, key);
  if (unit == nullptr) return KESTROVAN_PARAM_ABSENT;

  int flag = decodingFlag(map, key);
  static const int kEncodings[] = {KESTROVAN_ENCODING_ENCRYPTED, KESTROVAN_ENCODING_STAR, KESTROVAN_ENCODING_SLASH,
                                   KESTROVAN_ENCODING_BASE64, KESTROVAN_ENCODING_PLAIN};
  if (encoding != nullptr) *encoding = kEncodings[flag];

  const unsigned char* raw = (const unsigned char*)"";
  size_t rawLength = 0;
  if (unit->value != nullptr) {
    raw = (const unsigned char*)unit->value;
    rawLength = strlen(unit->value);
  } else if (unit->data != nullptr) {
    raw = unit->data;
    rawLength = (size_t)unit->dataLength;
  }

  Decoded decoded;
  int result = KESTROVAN_PARAM_OK;
  switch (flag) {
    case FLAG_ENCRYPT:
      result = decryptStrict(map, raw, rawLength, &decoded);
      break;
    case FLAG_STAR:
      result = replaceStrict(raw, rawLength, "*", &decoded);
      break;
    case FLAG_SLASH:
      result = replaceStrict(raw, rawLength, "==KestrovanSlash==", &decoded);
      break;
    case FLAG_BASE64:
      result = decodeBase64Strict(raw, rawLength, &decoded);
      break;
    default:
      if (!allocate(&decoded, rawLength)) {
        result = KESTROVAN_PARAM_NO_MEMORY;
        break;
      }
      if (rawLength > 0) memcpy(decoded.bytes, raw, rawLength);
      decoded.length = rawLength;
      break;
  }
  if (result == KESTROVAN_PARAM_NO_MEMORY) showMemoryFail(MODULE, __LINE__);
  if (result != KESTROVAN_PARAM_OK) return result;
  *value = decoded.bytes;
  *length = decoded.length;
  return KESTROVAN_PARAM_OK;
}

extern "C" void KestrovanParam_Free(unsigned char* value, size_t length) {
  if (value == nullptr) return;
  secureWipe(value, length + 1);
  free(value);
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

  // Sizes first, then the text written once into the block that is
  // answered from (values encoded in place, no copy of each).
  uint64_t total = 2 + 1;  // braces and terminator
  int written = 0;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    size_t valueLength = strlen(unit.value);
    total += strlen(unit.key) + (encode ? Base64EncodedLength(valueLength) : valueLength) + 6;  // "k": "v"
    if (written > 0) {
      total += 2;  // ", "
    }
    written++;
  }

  char* result = total <= (uint64_t)INT32_MAX ? (char*)malloc((size_t)total) : nullptr;
  if (result == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }
  char* cursor = result;
  *cursor++ = '{';
  bool first = true;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) {
      continue;
    }
    if (!first) {
      memcpy(cursor, ", ", 2);
      cursor += 2;
    }
    first = false;
    size_t keyLength = strlen(unit.key);
    size_t valueLength = strlen(unit.value);
    *cursor++ = '"';
    memcpy(cursor, unit.key, keyLength);
    cursor += keyLength;
    memcpy(cursor, "\": \"", 4);
    cursor += 4;
    if (encode) {
      cursor += Base64EncodeInto(cursor, unit.value, valueLength);
    } else {
      memcpy(cursor, unit.value, valueLength);
      cursor += valueLength;
    }
    *cursor++ = '"';
  }
  *cursor++ = '}';
  *cursor = '\0';
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

// Whether text holds word (lower case letters) ignoring ASCII case: what
// strcasestr answers, without its set-up for long texts.
static bool containsIgnoringCase(const char* text, const char* word) {
  for (; *text != '\0'; text++) {
    size_t i = 0;
    while (word[i] != '\0' && (text[i] | 0x20) == word[i]) {
      i++;
    }
    if (word[i] == '\0') {
      return true;
    }
  }
  return false;
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
  if (strcasecmp(unit.key, SHARE_SECRET_KEY) == 0) {
    // Key material never goes to the trace or the log file.
    masked = true;
  } else if (containsIgnoringCase(unit.key, "kestrovan")) {
    masked = false;
  } else if (containsIgnoringCase(unit.key, "pin") || containsIgnoringCase(unit.key, "pw") ||
             containsIgnoringCase(unit.key, "pass")) {
    masked = true;
  } else if (KestrovanJson_findJoined(map, unit.key, "_KestrovanHide") != nullptr) {
    // Nearly no entry has a hide flag: its key is put together only then.
    char hideKey[FLAG_KEY_SIZE];
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
