// params.cpp -- reading the page's parameters from the service's map.
//
// The map holds the values as the page sent them. A page marks a value as
// encoded with a companion key; the first of these that is "true" decides,
// in this order (the same order the service's own reads use):
//   <key>_KestrovanEncryptFlag  sealed with the service's key: refused here,
//                               since only the service can open it;
//   <key>_KestrovanFlag         every "*" stands for a backslash;
//   <key>_KestrovanSlashFlag    every "==KestrovanSlash==" stands for a backslash;
//   <key>_KestrovanBase64Flag   Base64 text ("%2B", "%2F", "%3D" accepted for
//                               "+", "/", "=", as forms encode them).
// Byte inputs (data, signatures) are sent Base64-encoded with the Base64 flag:
// the service's map keeps text values as NUL-terminated texts with only some
// JSON escapes undone, so raw bytes would not arrive intact any other way. A
// byte input sent as plain text stands for the text's UTF-8 bytes, unless it
// holds a backslash (an escape the service left as written).
#include "helm.h"

#include <cstring>
#include <strings.h>

static const char kEncryptFlag[] = "_KestrovanEncryptFlag";
static const char kStarFlag[] = "_KestrovanFlag";
static const char kSlashFlag[] = "_KestrovanSlashFlag";
static const char kBase64Flag[] = "_KestrovanBase64Flag";

enum ParamEncoding { ENCODING_NONE, ENCODING_ENCRYPTED, ENCODING_STAR, ENCODING_SLASH, ENCODING_BASE64 };

const KestrovanJsonUnit* HelmParams_Find(const KestrovanJsonMap* map, const char* key) {
  if (map == nullptr || key == nullptr) return nullptr;
  int count = map->count;
  if (count < 0) count = 0;
  if (count > KESTROVAN_MAP_CAPACITY) count = KESTROVAN_MAP_CAPACITY;
  for (int i = 0; i < count; i++) {
    const KestrovanJsonUnit* unit = &map->units[i];
    if (unit->key != nullptr && strcasecmp(unit->key, key) == 0) return unit;
  }
  return nullptr;
}

bool HelmParams_FlagOn(const KestrovanJsonMap* map, const char* key, const char* flagSuffix) {
  char flagKey[512];
  int n = snprintf(flagKey, sizeof flagKey, "%s%s", key, flagSuffix);
  if (n < 0 || (size_t)n >= sizeof flagKey) return false;
  const KestrovanJsonUnit* unit = HelmParams_Find(map, flagKey);
  return unit != nullptr && unit->value != nullptr && strcasecmp(unit->value, "true") == 0;
}

static ParamEncoding encodingOf(const KestrovanJsonMap* map, const char* key) {
  if (HelmParams_FlagOn(map, key, kEncryptFlag)) return ENCODING_ENCRYPTED;
  if (HelmParams_FlagOn(map, key, kStarFlag)) return ENCODING_STAR;
  if (HelmParams_FlagOn(map, key, kSlashFlag)) return ENCODING_SLASH;
  if (HelmParams_FlagOn(map, key, kBase64Flag)) return ENCODING_BASE64;
  return ENCODING_NONE;
}

// The raw value of a unit: its text, or its bytes when it has no text.
static void rawValue(const KestrovanJsonUnit* unit, const unsigned char** data, size_t* length) {
  if (unit->value != nullptr) {
    *data = reinterpret_cast<const unsigned char*>(unit->value);
    *length = strlen(unit->value);
  } else if (unit->data != nullptr) {
    *data = unit->data;
    *length = (size_t)unit->dataLength;
  } else {
    *data = reinterpret_cast<const unsigned char*>("");
    *length = 0;
  }
}

static int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes Base64 into out, whose capacity is reserved up front so that a
// secret is never left behind in a reallocated block. White space is
// skipped; padding is optional but only at the end.
static bool decodeBase64(const unsigned char* in, size_t length, std::vector<unsigned char>* out) {
  out->clear();
  out->reserve(length / 4 * 3 + 3);
  unsigned accumulator = 0;
  int bits = 0;
  size_t padding = 0;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = in[i];
    if (c == '%' && i + 2 < length) {
      char a = (char)in[i + 1];
      char b = (char)(in[i + 2] | 0x20);
      if (a == '2' && b == 'b') c = '+';
      else if (a == '2' && b == 'f') c = '/';
      else if (a == '3' && b == 'd') c = '=';
      else return false;
      i += 2;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      padding++;
      continue;
    }
    if (padding > 0) return false;  // data after padding
    int v = base64Value(c);
    if (v < 0) return false;
    accumulator = (accumulator << 6) | (unsigned)v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back((unsigned char)((accumulator >> bits) & 0xFF));
    }
  }
  // 6 leftover bits cannot be a whole encoding; padding beyond two is wrong.
  if (bits >= 6 || padding > 2) return false;
  Helm_Wipe(&accumulator, sizeof accumulator);
  return true;
}

// Replaces every occurrence of token in the raw value by one backslash.
static void replaceByBackslash(const unsigned char* in, size_t length, const char* token,
                               std::vector<unsigned char>* out) {
  size_t tokenLength = strlen(token);
  out->clear();
  out->reserve(length);
  for (size_t i = 0; i < length;) {
    if (i + tokenLength <= length && memcmp(in + i, token, tokenLength) == 0) {
      out->push_back('\\');
      i += tokenLength;
    } else {
      out->push_back(in[i++]);
    }
  }
}

int HelmParams_Bytes(const KestrovanJsonMap* map, const char* key, size_t maxBytes,
                     std::vector<unsigned char>* out, bool* present, std::string* message) {
  Helm_WipeVector(out);
  *present = false;
  const KestrovanJsonUnit* unit = HelmParams_Find(map, key);
  if (unit == nullptr) return HELM_OK;
  *present = true;
  const unsigned char* raw;
  size_t length;
  rawValue(unit, &raw, &length);
  // Generous for white space and percent escapes; the exact check follows.
  if (length > (maxBytes / 3 + 1) * 8 + 16) {
    *message = std::string(key) + " is larger than " + std::to_string(maxBytes) + " bytes";
    return HELM_E_TOO_LARGE;
  }
  switch (encodingOf(map, key)) {
    case ENCODING_ENCRYPTED:
      *message = std::string(key) + ": encrypted parameters are not supported; send it Base64-encoded";
      return HELM_E_UNSUPPORTED;
    case ENCODING_BASE64:
      if (!decodeBase64(raw, length, out)) {
        Helm_WipeVector(out);
        *message = std::string(key) + " is not valid Base64";
        return HELM_E_BAD_PARAMETER;
      }
      break;
    case ENCODING_STAR:
      replaceByBackslash(raw, length, "*", out);
      break;
    case ENCODING_SLASH:
      replaceByBackslash(raw, length, "==KestrovanSlash==", out);
      break;
    case ENCODING_NONE:
      // A plain text stands for its UTF-8 bytes. The service leaves JSON
      // escapes other than a few as written, so a backslash here may not be
      // what the page meant: refuse rather than sign something else.
      if (length > 0 && memchr(raw, '\\', length) != nullptr) {
        *message = std::string(key) + " holds a backslash: send it Base64-encoded with " + key + kBase64Flag +
                   " set to true";
        return HELM_E_BAD_PARAMETER;
      }
      out->reserve(length);
      out->assign(raw, raw + length);
      break;
  }
  if (out->size() > maxBytes) {
    Helm_WipeVector(out);
    *message = std::string(key) + " is larger than " + std::to_string(maxBytes) + " bytes";
    return HELM_E_TOO_LARGE;
  }
  return HELM_OK;
}

int HelmParams_Text(const KestrovanJsonMap* map, const char* key, size_t maxBytes, std::string* out,
                    bool* present, std::string* message) {
  Helm_WipeString(out);
  *present = false;
  const KestrovanJsonUnit* unit = HelmParams_Find(map, key);
  if (unit == nullptr) return HELM_OK;
  *present = true;
  const unsigned char* raw;
  size_t length;
  rawValue(unit, &raw, &length);
  // Every decoding shrinks or keeps the length, so the raw length bounds it.
  if (length > maxBytes * 2 + 8) {
    *message = std::string(key) + " is longer than " + std::to_string(maxBytes) + " bytes";
    return HELM_E_TOO_LARGE;
  }
  std::vector<unsigned char> decoded;
  switch (encodingOf(map, key)) {
    case ENCODING_ENCRYPTED:
      *message = std::string(key) + ": encrypted parameters are not supported; send it Base64-encoded";
      return HELM_E_UNSUPPORTED;
    case ENCODING_STAR:
      replaceByBackslash(raw, length, "*", &decoded);
      break;
    case ENCODING_SLASH:
      replaceByBackslash(raw, length, "==KestrovanSlash==", &decoded);
      break;
    case ENCODING_BASE64:
      if (!decodeBase64(raw, length, &decoded)) {
        Helm_WipeVector(&decoded);
        *message = std::string(key) + " is not valid Base64";
        return HELM_E_BAD_PARAMETER;
      }
      break;
    case ENCODING_NONE:
      decoded.reserve(length);
      decoded.assign(raw, raw + length);
      break;
  }
  int code = HELM_OK;
  if (decoded.size() > maxBytes) {
    *message = std::string(key) + " is longer than " + std::to_string(maxBytes) + " bytes";
    code = HELM_E_TOO_LARGE;
  } else if (!decoded.empty() && memchr(decoded.data(), 0, decoded.size()) != nullptr) {
    *message = std::string(key) + " holds a zero byte";
    code = HELM_E_BAD_PARAMETER;
  } else {
    out->reserve(decoded.size());
    out->assign(reinterpret_cast<const char*>(decoded.data()), decoded.size());
  }
  Helm_WipeVector(&decoded);
  return code;
}

int HelmParams_Bool(const KestrovanJsonMap* map, const char* key, bool fallback, bool* out,
                    std::string* message) {
  std::string text;
  bool present = false;
  int code = HelmParams_Text(map, key, 16, &text, &present, message);
  if (code != HELM_OK) return code;
  if (!present || text.empty()) {
    *out = fallback;
  } else if (strcasecmp(text.c_str(), "true") == 0) {
    *out = true;
  } else if (strcasecmp(text.c_str(), "false") == 0) {
    *out = false;
  } else {
    *message = std::string(key) + " must be true or false";
    return HELM_E_BAD_PARAMETER;
  }
  return HELM_OK;
}
