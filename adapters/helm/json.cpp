// SPDX-License-Identifier: Apache-2.0
// json.cpp -- the JSON text of the adapter's answers, their Base64/hex/time
// forms, and the wiping of secrets.
#include "helm.h"

#include <cstdio>
#include <ctime>

void Helm_Wipe(void* data, size_t n) {
  if (data != nullptr && n > 0) gnutls_memset(data, 0, n);
}

void Helm_WipeVector(std::vector<unsigned char>* bytes) {
  if (bytes == nullptr) return;
  Helm_Wipe(bytes->data(), bytes->capacity());
  bytes->clear();
}

void Helm_WipeString(std::string* text) {
  if (text == nullptr) return;
  Helm_Wipe(&(*text)[0], text->capacity());
  text->clear();
}

size_t Helm_Utf8Sequence(const unsigned char* p, size_t n) {
  unsigned char c = p[0];
  size_t need;
  unsigned min;
  unsigned value;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2; min = 0x80; value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3; min = 0x800; value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4; min = 0x10000; value = c & 0x07;
  } else {
    return 0;
  }
  if (n < need) return 0;
  for (size_t i = 1; i < need; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return need;
}

void HelmJson_AppendString(std::string* out, const char* text, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  out->push_back('"');
  size_t i = 0;
  while (i < length) {
    unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
      i++;
    } else if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        default:
          out->append("\\u00");
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
      }
      i++;
    } else {
      size_t n = Helm_Utf8Sequence(p + i, length - i);
      if (n == 0) {
        out->append("\\ufffd");
        i++;
      } else {
        out->append(text + i, n);
        i += n;
      }
    }
  }
  out->push_back('"');
}

void HelmJson_AppendString(std::string* out, const std::string& text) {
  HelmJson_AppendString(out, text.data(), text.size());
}

std::string HelmJson_Error(int code, const std::string& message) {
  std::string out = "{\"code\":" + std::to_string(code) + ",\"message\":";
  HelmJson_AppendString(&out, message);
  out.push_back('}');
  return out;
}

std::string HelmJson_Base64(const unsigned char* data, size_t length) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned v = (unsigned)data[i] << 16 | (unsigned)data[i + 1] << 8 | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (length - i == 1) {
    unsigned v = (unsigned)data[i] << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (length - i == 2) {
    unsigned v = (unsigned)data[i] << 16 | (unsigned)data[i + 1] << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::string HelmJson_Hex(const unsigned char* data, size_t length, bool separators) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; i++) {
    if (separators && i > 0) out.push_back(':');
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

std::string HelmJson_Time(time_t when) {
  if (when == (time_t)-1) return std::string();
  struct tm parts;
  if (gmtime_r(&when, &parts) == nullptr) return std::string();
  char text[32];
  if (strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return std::string();
  return text;
}

void HelmJson_Member(std::string* out, const char* name, const std::string& value) {
  HelmJson_MemberRaw(out, name, std::string());
  HelmJson_AppendString(out, value);
}

void HelmJson_MemberRaw(std::string* out, const char* name, const std::string& json) {
  if (!out->empty()) out->push_back(',');
  out->push_back('"');
  out->append(name);
  out->append("\":");
  out->append(json);
}
