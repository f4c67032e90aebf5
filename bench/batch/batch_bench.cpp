// SPDX-License-Identifier: Apache-2.0
// batch_bench.cpp -- 100 documents signed on the tests' SoftHSM2 token
// (RSA-2048 "Token Signer", PIN 1234) with the adapter loaded as the service
// loads it:
//   Batch/pagePin      one SignCmsBatch, the PIN from the page (a kiosk)
//   Single/pagePin     100 SignCms calls, the PIN from the page each time
//   Batch/dialog       one SignCmsBatch, the PIN typed once into the list
//                      dialog (stub_chooser.sh plays the user)
//   Single/dialog      100 SignCms calls, a PIN dialog for each
//                      (stub_pinentry.sh plays the user)
// Needs the fixture the tests make (ctest -R helm_fixtures) in the build
// tree. Prints times; asserts nothing.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kestrovan/adapter.h"

namespace {

const int kDocuments = 100;
const char kSite[] = "https://kiosk.example";

KestrovanCallJsonMapMethod entry;
std::string home, planFile;

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
  }
  if (bytes.size() - i == 1) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

std::string call(const std::string& function, std::vector<std::pair<std::string, std::string>> params) {
  std::stable_sort(params.begin(), params.end(),
                   [](const auto& a, const auto& b) { return strcasecmp(a.first.c_str(), b.first.c_str()) < 0; });
  KestrovanJsonMap* map = static_cast<KestrovanJsonMap*>(calloc(1, sizeof(KestrovanJsonMap)));
  for (size_t i = 0; i < params.size() && i < KESTROVAN_MAP_CAPACITY; i++) {
    map->units[i].key = strdup(params[i].first.c_str());
    map->units[i].value = strdup(params[i].second.c_str());
    map->count = (int32_t)(i + 1);
  }
  char* answer = entry(map, function.c_str());
  std::string copy = answer != nullptr ? answer : "";
  for (int i = 0; i < map->count; i++) {
    free(map->units[i].key);
    free(map->units[i].value);
  }
  free(map);
  return copy;
}

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;
  fputs(text.c_str(), f);
  fclose(f);
}

std::string tokenSignerId() {
  std::string list = call("ListCertificates", {});
  size_t name = list.find("\"commonName\":\"Token Signer\"");
  size_t id = list.rfind("\"id\":\"", name);
  if (name == std::string::npos || id == std::string::npos) return std::string();
  return list.substr(id + 6, list.find('"', id + 6) - id - 6);
}

std::string document(int i) { return "document " + std::to_string(i) + std::string(2000, 'x'); }

void fail(benchmark::State& state, const std::string& answer) {
  state.SkipWithError(("unexpected answer: " + answer.substr(0, 200)).c_str());
}

void Batch(benchmark::State& state, bool pagePin) {
  std::string id = tokenSignerId();
  std::string documents;
  for (int i = 0; i < kDocuments; i++) {
    if (i > 0) documents += ",";
    documents += base64("doc" + std::to_string(i)) + ":" + base64(document(i));
  }
  setenv("STUB_CHOOSER_ANSWER", "PIN 1234", 1);
  for (auto _ : state) {
    std::vector<std::pair<std::string, std::string>> params = {{"id", id}, {"documents", documents}};
    if (pagePin) params.emplace_back("pin", "1234");
    std::string answer = call("SignCmsBatch", params);
    if (answer.compare(0, 10, "{\"code\":0,") != 0 || answer.find("\"code\":7") != std::string::npos) {
      fail(state, answer);
      break;
    }
  }
  state.counters["documents"] = kDocuments;
}

void Single(benchmark::State& state, bool pagePin) {
  std::string id = tokenSignerId();
  for (auto _ : state) {
    if (!pagePin) {
      std::string plan;
      for (int i = 0; i < kDocuments; i++) plan += "pin 1234\n";
      writeFile(planFile, plan);
    }
    for (int i = 0; i < kDocuments; i++) {
      std::vector<std::pair<std::string, std::string>> params = {
          {"id", id}, {"data", base64(document(i))}, {"data_KestrovanBase64Flag", "true"}};
      if (pagePin) params.emplace_back("pin", "1234");
      std::string answer = call("SignCms", params);
      if (answer.compare(0, 10, "{\"code\":0,") != 0) {
        fail(state, answer);
        return;
      }
    }
  }
  state.counters["documents"] = kDocuments;
}

}  // namespace

int main(int argc, char** argv) {
  char folder[] = "/tmp/kestrovan-batch-bench.XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  home = std::string(folder) + "/home";
  std::string copy = "cp -a '" + std::string(BATCH_FIXTURE_DIR) + "/home' '" + home + "'";
  if (system(copy.c_str()) != 0) {
    fprintf(stderr, "batch_bench: no fixture at %s (run: ctest -R helm_fixtures)\n", BATCH_FIXTURE_DIR);
    return 1;
  }
  std::string config = home + "/.config/kestrovan/helm";
  planFile = std::string(folder) + "/plan";
  writeFile(config + "/allowed-origins", std::string(kSite) + "\n");
  writeFile(config + "/helm.conf", std::string("page-pin-origins = ") + kSite + "\nlist-origins = " + kSite +
                                       "\npinentry = " + BATCH_STUB_PINENTRY + "\nchooser = " + BATCH_STUB_CHOOSER +
                                       "\n");
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  setenv("SOFTHSM2_CONF", (std::string(BATCH_FIXTURE_DIR) + "/softhsm2.conf").c_str(), 1);
  setenv("DISPLAY", ":77", 1);   // the stubs show nothing
  setenv("STUB_PINENTRY_PLAN", planFile.c_str(), 1);
  void* handle = dlopen(BATCH_ADAPTER_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return 1;
  entry = reinterpret_cast<KestrovanCallJsonMapMethod>(dlsym(handle, KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL));
  if (entry == nullptr) return 1;
  std::string unlocked = call(KESTROVAN_FUNCTION_UNLOCK, {{KESTROVAN_FUNCTION_INDEX_KEY, KESTROVAN_FUNCTION_INDEX_UNLOCK},
                                                          {KESTROVAN_UNLOCK_URL_KEY, kSite},
                                                          {KESTROVAN_KEY_CHECK_KEY, "true"}});
  if (unlocked != "0") return 1;
  benchmark::RegisterBenchmark("Batch/pagePin", Batch, true)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("Single/pagePin", Single, true)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("Batch/dialog", Batch, false)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("Single/dialog", Single, false)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string clean = "rm -rf '" + std::string(folder) + "'";
  if (system(clean.c_str()) != 0) return 1;
  return 0;
}
