// SPDX-License-Identifier: Apache-2.0
// helm_test_support.h -- what the PKI adapter's tests share: a small JSON
// reader for the adapter's answers, Base64, running shell commands (openssl
// is the independent verifier), files, the fixture folders made by
// make_fixtures.sh, and the built adapter loaded with dlopen.
#ifndef KESTROVAN_TESTS_ADAPTERS_PKI_HELM_TEST_SUPPORT_H
#define KESTROVAN_TESTS_ADAPTERS_PKI_HELM_TEST_SUPPORT_H

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kestrovan/adapter.h"

namespace helmtest {

// ---- JSON ------------------------------------------------------------------

struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json& operator[](const std::string& name) const {
    static const Json missing;
    for (const auto& m : members) {
      if (m.first == name) return m.second;
    }
    return missing;
  }
  const Json& operator[](size_t i) const {
    static const Json missing;
    return i < items.size() ? items[i] : missing;
  }
  bool has(const std::string& name) const {
    for (const auto& m : members) {
      if (m.first == name) return true;
    }
    return false;
  }
  long code() const { return (*this)["code"].type == Number ? (long)(*this)["code"].number : -1; }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  Json parse() {
    Json v = value();
    space();
    if (i_ != s_.size()) fail("trailing text");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("bad JSON (") + what + ") at " + std::to_string(i_) + ": " + s_);
  }
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) i_++;
  }
  bool eat(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      i_++;
      return true;
    }
    return false;
  }
  static void appendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
      out->push_back((char)cp);
    } else if (cp < 0x800) {
      out->push_back((char)(0xC0 | (cp >> 6)));
      out->push_back((char)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back((char)(0xE0 | (cp >> 12)));
      out->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (cp & 0x3F)));
    } else {
      out->push_back((char)(0xF0 | (cp >> 18)));
      out->push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (cp & 0x3F)));
    }
  }
  std::string string() {
    if (!eat('"')) fail("string expected");
    std::string out;
    while (true) {
      if (i_ >= s_.size()) fail("open string");
      unsigned char c = (unsigned char)s_[i_++];
      if (c == '"') break;
      if (c < 0x20) fail("control character in string");
      if (c != '\\') {
        out.push_back((char)c);
        continue;
      }
      if (i_ >= s_.size()) fail("open escape");
      char e = s_[i_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          if (i_ + 4 > s_.size()) fail("short \\u");
          unsigned cp = (unsigned)std::stoul(s_.substr(i_, 4), nullptr, 16);
          i_ += 4;
          appendUtf8(&out, cp);
          break;
        }
        default: fail("unknown escape");
      }
    }
    return out;
  }
  Json value() {
    space();
    Json v;
    if (i_ >= s_.size()) fail("value expected");
    char c = s_[i_];
    if (c == '{') {
      i_++;
      v.type = Json::Object;
      if (eat('}')) return v;
      do {
        std::string name = string();
        if (!eat(':')) fail("colon expected");
        v.members.emplace_back(name, value());
      } while (eat(','));
      if (!eat('}')) fail("} expected");
    } else if (c == '[') {
      i_++;
      v.type = Json::Array;
      if (eat(']')) return v;
      do {
        v.items.push_back(value());
      } while (eat(','));
      if (!eat(']')) fail("] expected");
    } else if (c == '"') {
      v.type = Json::String;
      v.text = string();
    } else if (s_.compare(i_, 4, "true") == 0) {
      v.type = Json::Bool;
      v.boolean = true;
      i_ += 4;
    } else if (s_.compare(i_, 5, "false") == 0) {
      v.type = Json::Bool;
      i_ += 5;
    } else if (s_.compare(i_, 4, "null") == 0) {
      i_ += 4;
    } else {
      size_t start = i_;
      while (i_ < s_.size() && strchr("+-0123456789.eE", s_[i_]) != nullptr) i_++;
      if (start == i_) fail("unexpected character");
      v.type = Json::Number;
      v.number = std::stod(s_.substr(start, i_ - start));
    }
    return v;
  }
  const std::string& s_;
  size_t i_ = 0;
};

inline Json parseJson(const std::string& text) { return JsonReader(text).parse(); }

// ---- Base64 ----------------------------------------------------------------

inline std::string base64(const std::string& bytes) {
  static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (bytes.size() - i == 1) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return out;
}

inline std::string unbase64(const std::string& text) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;
    acc = (acc << 6) | (unsigned)v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back((char)((acc >> bits) & 0xFF));
    }
  }
  return out;
}

inline std::string hex(const std::string& bytes) {
  static const char h[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {h[c >> 4], h[c & 15]};
  return out;
}

// ---- files and commands ---------------------------------------------------

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0600) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  chmod(path.c_str(), mode);
}

inline std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

struct CommandResult {
  int status;
  std::string output;
};

// Runs a shell command, output and errors together.
inline CommandResult run(const std::string& command) {
  CommandResult r{-1, ""};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A fresh folder under the build tree's temp area, removed at destruction.
class TempFolder {
 public:
  TempFolder() {
    std::string base = "/tmp/kestrovan-helm-test.XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
  }
  ~TempFolder() { run("rm -rf " + quote(path_)); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A private home laid out like the fixture's (key folder with its files);
// the allow-list is the test's to write.
inline std::string makeHome(const std::string& under) {
  std::string home = under + "/home";
  run("cp -a " + quote(std::string(HELM_FIXTURE_DIR) + "/home") + " " + quote(home));
  return home;
}

inline std::string configFolder(const std::string& home) { return home + "/.config/kestrovan/helm"; }

// The user's settings for tests that send the PIN from the page (allowed
// for origin).
inline void writePagePinSettings(const std::string& home, const std::string& origin) {
  run("mkdir -p " + quote(configFolder(home)));
  writeFile(configFolder(home) + "/helm.conf", "page-pin-origins = " + origin + "\n");
}

// ---- the adapter, loaded and called as the service does ----------------------

typedef std::vector<std::pair<std::string, std::string>> Params;

// A byte parameter: Base64 text with its Base64 flag on.
inline void addBytes(Params* p, const std::string& key, const std::string& bytes) {
  p->emplace_back(key, base64(bytes));
  p->emplace_back(key + "_KestrovanBase64Flag", "true");
}

// The built adapter, loaded once per test like one session's copy.
class Adapter {
 public:
  // path: a copy of the library, as the service loads one per session.
  explicit Adapter(const char* path = HELM_ADAPTER_PATH) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    entry_ = reinterpret_cast<KestrovanCallJsonMapMethod>(dlsym(handle_, KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL));
    if (entry_ == nullptr) throw std::runtime_error("no callJsonMapMethod");
  }
  ~Adapter() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* handle() const { return handle_; }

  // Calls the entry point with a map built like the service's: units sorted
  // by key ignoring case, texts in "value". Returns a copy of the answer.
  std::string call(const std::string& function, const Params& params, bool nullAnswerAllowed = false) {
    Params sorted = params;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
      return strcasecmp(a.first.c_str(), b.first.c_str()) < 0;
    });
    auto* map = static_cast<KestrovanJsonMap*>(calloc(1, sizeof(KestrovanJsonMap)));
    for (size_t i = 0; i < sorted.size() && i < KESTROVAN_MAP_CAPACITY; i++) {
      map->units[i].key = strdup(sorted[i].first.c_str());
      map->units[i].value = strdup(sorted[i].second.c_str());
      map->count = (int32_t)(i + 1);
    }
    char* answer = entry_(map, function.c_str());
    std::string copy = answer != nullptr ? answer : "";
    for (int i = 0; i < map->count; i++) {
      free(map->units[i].key);
      free(map->units[i].value);
    }
    free(map);
    if (answer == nullptr && !nullAnswerAllowed) ADD_FAILURE() << function << " answered no text";
    return copy;
  }

  std::string unlock(const std::string& origin) {
    return call(KESTROVAN_FUNCTION_UNLOCK, {{KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_UNLOCK},
                                            {KESTROVAN_FUNCTION_NAME_KEY, KESTROVAN_FUNCTION_UNLOCK},
                                            {KESTROVAN_UNLOCK_URL_KEY, origin},
                                            {KESTROVAN_KEY_CHECK_KEY, "true"}});
  }
  std::string version() {
    return call(KESTROVAN_FUNCTION_GET_VERSION, {{KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_GET_VERSION},
                                                 {KESTROVAN_FUNCTION_NAME_KEY, KESTROVAN_FUNCTION_GET_VERSION},
                                                 {KESTROVAN_KEY_CHECK_KEY, "true"}});
  }
  void release() {
    call(KESTROVAN_FUNCTION_RELEASE, {{KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_RELEASE},
                                      {KESTROVAN_FUNCTION_NAME_KEY, KESTROVAN_FUNCTION_RELEASE},
                                      {KESTROVAN_KEY_CHECK_KEY, "true"}},
         true);
  }
  Json page(const std::string& function, const Params& params) {
    std::string answer = call(function, params);
    return parseJson(answer);
  }

 private:
  void* handle_ = nullptr;
  KestrovanCallJsonMapMethod entry_ = nullptr;
};

}  // namespace helmtest

#endif
