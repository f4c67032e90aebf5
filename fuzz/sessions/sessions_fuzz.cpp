// SPDX-License-Identifier: Apache-2.0
// sessions_fuzz.cpp -- sequences of session operations through the real
// dispatcher, with a real adapter library copied and loaded per session,
// checked step by step against a model: the list of open sessions in the
// order they were opened (the oldest goes when a 33rd is opened), each with
// its browser mode. Operations: open with an echo or a page function, call,
// echo, close / release (kept in browser mode), force release, an unknown or
// released identifier (61001), a release without identifier, a page naming
// one of the service's own adapter calls (61001). After every step each
// modelled identifier must be found and every released one not; after every
// input the copy folder must hold one copy per open session, and none once
// all are released.
#include <dirent.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "fuzz_util.h"
#include "params/params.h"
#include "session/session.h"
#include "support/text.h"

struct ModelSession {
  std::string id;
  bool browserMode;
};

static std::vector<ModelSession> open_;
static std::vector<std::string> released;
static char copyFolder[64] = "/tmp/kestrovan-sessions-fuzz-XXXXXX";

static const char* const kFunctions[] = {"Sign", "Verify", "getCertList", "x"};
static const char* const kBuiltIns[] = {"KestrovanEcho", "Echo", "KestrovanClose", "KestrovanRelease",
                                        "KestrovanForceRelease", "setKestrovanValue", "getKestrovanValue"};

static KestrovanJsonMap* request(const std::string& id, const std::string& function) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  FUZZ_CHECK(map != nullptr);
  if (!id.empty())
    addKestrovanJsonMapUnit(map, "SessionId", id.c_str());
  addKestrovanJsonMapUnit(map, "FunctionName", function.c_str());
  // Any PathID but the table's keeps the cleaned names the request gives.
  addKestrovanJsonMapUnit(map, "PathID", "fuzz");
  addKestrovanJsonMapUnit(map, "LibDir", "FUZZ");
  addKestrovanJsonMapUnit(map, "ComName", "KestrovanFuzzAdapter");
  addKestrovanJsonMapUnit(map, "minServerVersion", "3.0.0.0");
  addKestrovanJsonMapUnit(map, "minLibVersion", "1.0.0.0");
  return map;
}

struct Result {
  std::string sessionId;  // "" when absent
  std::string result;     // "\x01" when absent
  int count;
};

static Result dispatch(KestrovanJsonMap* map) {
  KestrovanJsonMap* answer = KestrovanSession_Process(0, map, "https://example.com");
  FUZZ_CHECK(answer != nullptr);
  Result out{"", "\x01", answer->count};
  for (int i = 0; i < answer->count; i++) {
    if (strcmp(answer->units[i].key, "SessionID") == 0)
      out.sessionId = answer->units[i].value;
    if (strcmp(answer->units[i].key, "result") == 0)
      out.result = answer->units[i].value;
  }
  KestrovanJsonFinal(answer);
  KestrovanJsonFinal(map);
  return out;
}

static int copies() {
  DIR* dir = opendir(copyFolder);
  FUZZ_CHECK(dir != nullptr);
  int count = 0;
  for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir))
    count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

static void compare() {
  for (const ModelSession& s : open_)
    FUZZ_CHECK(KestrovanSession_findSession(s.id.c_str()) != -1);
  for (const std::string& id : released)
    FUZZ_CHECK(KestrovanSession_findSession(id.c_str()) == -1);
  int used = 0;
  for (int i = 0; i < KESTROVAN_SESSION_SLOTS; i++)
    used += SessionList[i] != nullptr;
  FUZZ_CHECK(used == (int)open_.size());
}

static bool builtIn(const std::string& function) {
  for (const char* name : kBuiltIns)
    if (strcasecmp(name, function.c_str()) == 0)
      return true;
  return false;
}

static bool internal(const std::string& function) {
  for (const char* name : {KESTROVAN_FUNCTION_UNLOCK, KESTROVAN_FUNCTION_GET_VERSION, KESTROVAN_FUNCTION_RELEASE})
    if (strcasecmp(name, function.c_str()) == 0)
      return true;
  return false;
}

static void openSession(FuzzedDataProvider& input) {
  bool echo = input.ConsumeBool();
  bool browser = echo && input.ConsumeBool();
  std::string function = echo ? "KestrovanEcho" : input.PickValueInArray(kFunctions);
  KestrovanJsonMap* map = request("", function);
  if (browser)
    addKestrovanJsonMapUnit(map, "KestrovanMode", "1");
  Result r = dispatch(map);
  FUZZ_CHECK(r.sessionId.size() == 12 && r.sessionId.compare(8, 4, "_SID") == 0);
  FUZZ_CHECK(r.result == (echo ? "0" : "ok:" + function));
  if (open_.size() == KESTROVAN_SESSION_SLOTS) {
    released.push_back(open_.front().id);
    open_.erase(open_.begin());
  }
  open_.push_back({r.sessionId, browser});
}

static void onSession(FuzzedDataProvider& input) {
  if (open_.empty())
    return;
  size_t index = input.ConsumeIntegralInRange<size_t>(0, open_.size() - 1);
  ModelSession session = open_[index];
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: {
      std::string function = input.ConsumeBool() ? std::string(input.PickValueInArray(kFunctions))
                                                  : input.ConsumeRandomLengthString(24);
      function.resize(strnlen(function.c_str(), function.size()));
      if (builtIn(function))
        return;
      Result r = dispatch(request(session.id, function));
      FUZZ_CHECK(r.sessionId.empty());
      // The service's own adapter calls are refused when a page names them.
      FUZZ_CHECK(r.result == (internal(function) ? "61001" : "ok:" + function));
      break;
    }
    case 1: {
      Result r = dispatch(request(session.id, "echo"));
      FUZZ_CHECK(r.result == "0");
      break;
    }
    case 2:
    case 3: {
      Result r = dispatch(request(session.id, input.ConsumeBool() ? "KestrovanClose" : "kestrovanrelease"));
      FUZZ_CHECK(r.count == 0);
      if (!session.browserMode) {
        released.push_back(session.id);
        open_.erase(open_.begin() + (long)index);
      }
      break;
    }
    default: {
      Result r = dispatch(request(session.id, "KestrovanForceRelease"));
      FUZZ_CHECK(r.count == 0);
      released.push_back(session.id);
      open_.erase(open_.begin() + (long)index);
    }
  }
}

static void unknownSession(FuzzedDataProvider& input) {
  std::string id;
  if (!released.empty() && input.ConsumeBool()) {
    id = released[input.ConsumeIntegralInRange<size_t>(0, released.size() - 1)];
  } else {
    id = input.ConsumeRandomLengthString(16);
    id.resize(strnlen(id.c_str(), id.size()));
    if (id.empty())
      return;
    for (const ModelSession& s : open_)
      if (s.id == id)
        return;
  }
  Result r = dispatch(request(id, input.PickValueInArray(kFunctions)));
  FUZZ_CHECK(r.result == "61001" && r.count == 1);
}

static void releaseWithoutSession(FuzzedDataProvider& input) {
  Result r = dispatch(request("", input.ConsumeBool() ? "KestrovanClose" : "KestrovanForceRelease"));
  FUZZ_CHECK(!r.sessionId.empty() && r.result == "\x01" && r.count == 1);
}

static void removeFolder() { rmdir(copyFolder); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  FUZZ_CHECK(mkdtemp(copyFolder) != nullptr);
  atexit(removeFolder);
  // The folder under which "FUZZ/KestrovanFuzzAdapter.so" was built.
  KestrovanSession_Init(copyFolder, KESTROVAN_FUZZ_ADAPTER_ROOT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  open_.clear();
  released.clear();
  for (int step = 0; step < 100 && input.remaining_bytes() > 0; step++) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
      case 1: openSession(input); break;
      case 2:
      case 3: onSession(input); break;
      case 4: unknownSession(input); break;
      default: releaseWithoutSession(input);
    }
    compare();
  }
  FUZZ_CHECK(copies() == (int)open_.size());
  KestrovanSession_Final();
  for (const ModelSession& s : open_)
    FUZZ_CHECK(KestrovanSession_findSession(s.id.c_str()) == -1);
  FUZZ_CHECK(copies() == 0);
  // Final closes the dispatcher; the next input starts on an open one.
  KestrovanSession_Init(copyFolder, KESTROVAN_FUZZ_ADAPTER_ROOT);
  return 0;
}
