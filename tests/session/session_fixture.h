// SPDX-License-Identifier: Apache-2.0
// session_fixture.h -- a throw-away installation for dispatcher tests: an
// executable folder holding test adapters as "<LibDir>/<ComName>.so", a copy
// folder, the adapters' call record, and helpers that send requests through
// KestrovanSession_Process and read the answers.
#ifndef KESTROVAN_TESTS_SESSION_FIXTURE_H
#define KESTROVAN_TESTS_SESSION_FIXTURE_H

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "params/params.h"
#include "platform/platform.h"
#include "session/session.h"

#ifndef KESTROVAN_TEST_ADAPTER_DIR
#error "KESTROVAN_TEST_ADAPTER_DIR must name the folder of the built test adapters"
#endif

namespace kestrovan_test {

using Request = std::vector<std::pair<std::string, std::string>>;

// One answer of the dispatcher: null, or its keys with their text values
// (std::nullopt for a key without text value).
struct Answer {
  bool present = false;
  std::map<std::string, std::optional<std::string>> keys;

  bool has(const std::string& key) const { return keys.count(key) != 0; }
  std::string get(const std::string& key) const {
    auto it = keys.find(key);
    return it != keys.end() && it->second ? *it->second : std::string("<absent>");
  }
};

// One line of the adapters' call record.
struct Call {
  std::string library;   // file name of the loaded library
  std::string phase;     // enter, leave or overlap
  std::string function;
  std::string detail;
};

inline std::string stripColours(const std::string& text) {
  static const std::regex colour("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, colour, "");
}

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

class SessionTest : public ::testing::Test {
 protected:
  std::string root;
  std::string exeFolder;
  std::string copyFolder;
  std::string logFile;

  void SetUp() override {
    char pattern[] = "/tmp/kestrovan-session-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    exeFolder = root + "/exe";
    copyFolder = root + "/copy";
    logFile = root + "/calls.log";
    ASSERT_EQ(mkdir(exeFolder.c_str(), 0755), 0);
    setenv("KESTROVAN_TEST_ADAPTER_LOG", logFile.c_str(), 1);
    unsetenv("KESTROVAN_TEST_VERSION");
    KestrovanQueue_initQueue();
    KestrovanSession_Init(copyFolder.c_str(), exeFolder.c_str());
  }

  void TearDown() override {
    KestrovanSession_Final();
    for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++) {
      EXPECT_EQ(SessionList[i], nullptr) << "slot " << i << " still taken after Final";
    }
    chmod(copyFolder.c_str(), 0700);
    nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    unsetenv("KESTROVAN_TEST_ADAPTER_LOG");
    unsetenv("KESTROVAN_TEST_VERSION");
  }

  static std::string builtAdapter(const std::string& variant) {
    return std::string(KESTROVAN_TEST_ADAPTER_DIR) + "/" + variant + KESTROVAN_ADAPTER_SUFFIX;
  }

  // Installs a built variant as "<exe>/<libDir>/<comName>.so".
  std::string install(const std::string& variant, const std::string& libDir = "KestrovanTest",
                      std::string comName = "") {
    if (comName.empty()) comName = variant;
    std::string folder = exeFolder + "/" + libDir;
    mkdir(folder.c_str(), 0755);
    std::string target = folder + "/" + comName + KESTROVAN_ADAPTER_SUFFIX;
    std::ifstream in(builtAdapter(variant), std::ios::binary);
    EXPECT_TRUE(in.good()) << "missing test adapter " << builtAdapter(variant);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return target;
  }

  static KestrovanJsonMap* makeMap(const Request& request) {
    auto* map = static_cast<KestrovanJsonMap*>(calloc(1, sizeof(KestrovanJsonMap)));
    for (const auto& [key, value] : request) addKestrovanJsonMapUnit(map, key.c_str(), value.c_str());
    return map;
  }

  static Answer read(KestrovanJsonMap*& result) {
    Answer answer;
    if (result == nullptr) return answer;
    answer.present = true;
    for (int i = 0; i < result->count; i++) {
      const KestrovanJsonUnit& unit = result->units[i];
      answer.keys[unit.key] = unit.value ? std::optional<std::string>(unit.value) : std::nullopt;
    }
    KestrovanJsonFinal(result);
    return answer;
  }

  static Answer process(const Request& request, const char* origin = "https://bank.example") {
    KestrovanJsonMap* map = makeMap(request);
    KestrovanJsonMap* result = KestrovanSession_Process(0, map, origin);
    KestrovanJsonFinal(map);
    return read(result);
  }

  // The same, with the map built from JSON text (so it carries its source).
  static Answer processJson(const std::string& json, const char* origin = "https://bank.example") {
    KestrovanJsonMap* map = getKestrovanJsonMap(json.c_str());
    EXPECT_NE(map, nullptr) << json;
    KestrovanJsonMap* result = KestrovanSession_Process(0, map, origin);
    KestrovanJsonFinal(map);
    return read(result);
  }

  // A request that opens a session on a test adapter.
  static Request open(const std::string& comName, const std::string& function = "Echo", Request extra = {}) {
    Request request = {{"SessionId", ""},           {"FunctionName", function}, {"PathID", "test-location"},
                       {"LibDir", "KestrovanTest"}, {"ComName", comName},       {"minServerVersion", "3.0.23.0721"},
                       {"minLibVersion", ""},        {"InstallerName", ""}};
    for (auto& pair : extra) {
      bool replaced = false;
      for (auto& existing : request) {
        if (existing.first == pair.first) {
          existing.second = pair.second;
          replaced = true;
        }
      }
      if (!replaced) request.push_back(pair);
    }
    return request;
  }

  static Request call(const std::string& sessionId, const std::string& function, Request extra = {}) {
    Request request = {{"SessionId", sessionId}, {"FunctionName", function}};
    request.insert(request.end(), extra.begin(), extra.end());
    return request;
  }

  std::vector<Call> calls() const {
    std::vector<Call> result;
    std::ifstream in(logFile);
    std::string line;
    while (std::getline(in, line)) {
      Call call;
      std::stringstream fields(line);
      std::getline(fields, call.library, '\t');
      std::getline(fields, call.phase, '\t');
      std::getline(fields, call.function, '\t');
      std::getline(fields, call.detail);
      result.push_back(call);
    }
    return result;
  }

  // The functions entered, in order, by libraries whose file name starts with prefix.
  std::vector<std::string> entered(const std::string& prefix = "") const {
    std::vector<std::string> names;
    for (const Call& call : calls()) {
      if (call.phase != "leave" && call.library.rfind(prefix, 0) == 0) names.push_back(call.function);
    }
    return names;
  }

  static int takenSlots() {
    int taken = 0;
    std::lock_guard<std::mutex> guard(KestrovanSession_TableLock);
    for (const KestrovanSession* slot : SessionList) taken += slot != nullptr;
    return taken;
  }

  static bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  // The names in the copy folder, sorted (a folder's link count does not
  // count the files in it, so emptiness is checked by listing).
  std::vector<std::string> copies() const {
    std::vector<std::string> names;
    DIR* dir = opendir(copyFolder.c_str());
    EXPECT_NE(dir, nullptr) << copyFolder;
    if (dir == nullptr) return names;
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Captures the trace printed while a block runs, colours removed.
class TraceCapture {
 public:
  TraceCapture() {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
  }
  std::string finish() {
    fflush(stdout);
    return stripColours(::testing::internal::GetCapturedStdout());
  }
};

}  // namespace kestrovan_test

#endif
