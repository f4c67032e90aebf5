// SPDX-License-Identifier: Apache-2.0
// params.cpp -- reading the page's parameters from the service's map.
//
// The map holds the values as the page sent them. A page marks a value as
// encoded with a companion key ("<key>_KestrovanBase64Flag" and the others);
// KestrovanParam_Read (kestrovan/adapter_params.h) undoes that decoding
// strictly, so a value that does not decode (bad Base64, a sealed value the
// request's shared secret does not open) is refused instead of being used as
// sent. Byte inputs (data, signatures) are sent Base64-encoded or sealed: the
// service's map keeps text values as NUL-terminated texts with only some JSON
// escapes undone, so raw bytes would not arrive intact any other way. A byte
// input sent as plain text stands for the text's UTF-8 bytes, unless it holds
// a backslash (an escape the service left as written).
#include "helm.h"

#include <cstring>
#include <strings.h>

#include "kestrovan/adapter_params.h"

static const char kBase64Flag[] = "_KestrovanBase64Flag";

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

// The length of a unit's raw value: its text, or its bytes when it has none.
static size_t rawLength(const KestrovanJsonUnit* unit) {
  if (unit->value != nullptr) return strlen(unit->value);
  if (unit->data != nullptr) return (size_t)unit->dataLength;
  return 0;
}

// Reads key decoded into out. rawLimit bounds the value as sent, before any
// work is done on it; the caller checks the decoded size.
static int readDecoded(const KestrovanJsonMap* map, const char* key, size_t rawLimit, std::vector<unsigned char>* out,
                       bool* present, int* encoding, std::string* message) {
  Helm_WipeVector(out);
  *present = false;
  const KestrovanJsonUnit* unit = HelmParams_Find(map, key);
  if (unit == nullptr) return HELM_OK;
  *present = true;
  if (rawLength(unit) > rawLimit) {
    *message = std::string(key) + " is too large";
    return HELM_E_TOO_LARGE;
  }
  unsigned char* value = nullptr;
  size_t length = 0;
  int result = KestrovanParam_Read(map, key, &value, &length, encoding);
  switch (result) {
    case KESTROVAN_PARAM_OK:
      break;
    case KESTROVAN_PARAM_UNDECODABLE:
      if (*encoding == KESTROVAN_ENCODING_ENCRYPTED) {
        *message = std::string(key) + " does not open with the request's Kestrovan_share_secret";
      } else {
        *message = std::string(key) + " is not valid Base64";
      }
      return HELM_E_BAD_PARAMETER;
    case KESTROVAN_PARAM_ABSENT:
      *present = false;
      return HELM_OK;
    default:
      *message = "out of memory reading " + std::string(key);
      return HELM_E_INTERNAL;
  }
  out->reserve(length);
  out->assign(value, value + length);
  KestrovanParam_Free(value, length);
  return HELM_OK;
}

int HelmParams_Bytes(const KestrovanJsonMap* map, const char* key, size_t maxBytes,
                     std::vector<unsigned char>* out, bool* present, std::string* message) {
  int encoding = KESTROVAN_ENCODING_PLAIN;
  // Generous for Base64, white space, percent escapes and sealed hex text;
  // the exact check follows.
  int code = readDecoded(map, key, (maxBytes / 3 + 1) * 8 + 64, out, present, &encoding, message);
  if (code != HELM_OK || !*present) return code;
  // A plain text stands for its UTF-8 bytes. The service leaves JSON escapes
  // other than a few as written, so a backslash here may not be what the
  // page meant: refuse rather than sign something else.
  if (encoding == KESTROVAN_ENCODING_PLAIN && !out->empty() && memchr(out->data(), '\\', out->size()) != nullptr) {
    Helm_WipeVector(out);
    *message = std::string(key) + " holds a backslash: send it Base64-encoded with " + key + kBase64Flag +
               " set to true";
    return HELM_E_BAD_PARAMETER;
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
  std::vector<unsigned char> decoded;
  int encoding = KESTROVAN_ENCODING_PLAIN;
  int code = readDecoded(map, key, maxBytes * 4 + 64, &decoded, present, &encoding, message);
  if (code == HELM_E_TOO_LARGE) {
    *message = std::string(key) + " is longer than " + std::to_string(maxBytes) + " bytes";
  }
  if (code != HELM_OK || !*present) return code;
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
