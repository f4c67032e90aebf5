// SPDX-License-Identifier: Apache-2.0
// values_fuzz.cpp -- sequences of value-store operations (store, read, clear
// one record, let time pass) checked step by step against a simple model of
// the 16-record table: which record a channel takes, when a full table frees
// records, expiry and its sliding on reads, which origins may read and
// which may replace a live value, and each origin's share of live records.
// The origin decision itself comes from the
// real policy (fuzzed on its own); the model checks that the store asks it
// about the right list and origin.
// After every step each record's channel and expiry must match the model.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "fuzz_util.h"
#include "policy/policy.h"
#include "values/values.h"

struct ModelRecord {
  bool used = false;
  std::string channel;
  std::string list;
  int timeout = 0;
  int64_t expiry = 0;
  std::string value;
  std::string owner;  // the origin that stored the value last
};

static ModelRecord model[KESTROVAN_VALUE_RECORDS];
static int64_t now;

static int64_t fakeClock() { return now; }

static const char* const kChannels[] = {"a", "A", "b", "Chan", "CHAN", "c1", "c2", "c3", "c4", "c5",
                                        "c6", "c7", "c8", "c9", "c10", "c11", "c12", "c13", "c14", "c15",
                                        "c16", "c17", ""};
static const char* const kLists[] = {"", "example.com", "*.example.com", "*", " example.com ; example.org ",
                                     "a(b", "intra."};
static const char* const kOrigins[] = {"https://example.com", "https://www.example.com", "http://EXAMPLE.org",
                                       "https://intra.local:8443", "null", "", "https://example.com/"};

static int find(const std::string& channel) {
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++)
    if (model[i].used && strcasecmp(model[i].channel.c_str(), channel.c_str()) == 0)
      return i;
  return -1;
}

static bool admitted(const std::string& list, const std::string& origin) {
  KestrovanUrlCheck check;
  KestrovanPolicy_setUnlockURL(&check, list.c_str());
  KestrovanPolicy_unlock(&check, origin.c_str());
  return KestrovanPolicy_isUrlUnlock(&check);
}

static bool expired(const ModelRecord& record) { return record.expiry != 0 && now > record.expiry; }

static int32_t modelSet(const std::string& channel, const std::string& list, int timeout, const std::string& value,
                        const std::string& origin) {
  if (timeout < 0 || (int64_t)timeout * 60 > INT32_MAX)
    return 61005;
  int index = find(channel);
  // A live value is replaced only from an origin its list admits.
  if (index >= 0 && !expired(model[index]) && !admitted(model[index].list, origin))
    return 61021;
  // An origin holds at most its share of live records (the one written aside).
  int held = 0;
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++)
    if (i != index && model[i].used && !expired(model[i]) && strcasecmp(model[i].owner.c_str(), origin.c_str()) == 0)
      held++;
  if (held >= KESTROVAN_VALUE_ORIGIN_SHARE)
    return 61019;
  for (int i = 0; index < 0 && i < KESTROVAN_VALUE_RECORDS; i++)
    if (!model[i].used)
      index = i;
  if (index < 0) {
    // Full: only expired records are freed.
    for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
      if (expired(model[i])) {
        model[i] = ModelRecord();
        index = i;
      }
    }
  }
  if (index < 0)
    return 61019;
  ModelRecord& record = model[index];
  if (!record.used) {
    record.used = true;
    record.channel = channel;
  }
  record.list = list;
  record.timeout = timeout;
  record.expiry = timeout > 0 ? now + (int64_t)timeout * 60 : 0;
  record.value = value;
  record.owner = origin;
  return 0;
}

static std::string modelGet(const std::string& channel, const std::string& origin) {
  int index = find(channel);
  if (index < 0)
    return "";
  ModelRecord& record = model[index];
  if (!admitted(record.list, origin))
    return "";
  if (record.expiry != 0) {
    if (now > record.expiry)
      return "";
    record.expiry = now + (int64_t)record.timeout * 60;
  }
  return record.value;
}

static void compareTable() {
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    char* channel = KestrovanValue_channelAt(i);
    FUZZ_CHECK((channel != nullptr) == model[i].used);
    if (channel != nullptr)
      FUZZ_CHECK(model[i].channel == channel);
    free(channel);
    FUZZ_CHECK(KestrovanValue_expiryAt(i) == (model[i].used ? model[i].expiry : 0));
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  KestrovanValue_setClock(fakeClock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  now = 1800000000;
  KestrovanValue_init();
  for (ModelRecord& record : model)
    record = ModelRecord();

  auto text = [&](size_t most) { return KestrovanFuzz_text(input, most); };
  auto channel = [&]() {
    return input.ConsumeBool() ? std::string(input.PickValueInArray(kChannels)) : text(16);
  };
  // A table already holding up to 16 channels, so that the full table (and
  // what it frees) is reached without a long search.
  int prefill = input.ConsumeIntegralInRange<int>(0, KESTROVAN_VALUE_RECORDS);
  for (int i = 0; i < prefill; i++) {
    // Each prefilled record from a site of its own, all within their shares.
    std::string name = "fill" + std::to_string(i);
    std::string origin = "https://fill" + std::to_string(i) + ".example";
    int timeout = input.ConsumeBool() ? 0 : 5;
    FUZZ_CHECK(modelSet(name, "*", timeout, name, origin) == 0);
    FUZZ_CHECK(KestrovanValue_set_value(name.c_str(), "*", timeout, name.c_str(), origin.c_str()) == 0);
  }
  compareTable();
  for (int step = 0; step < 200 && input.remaining_bytes() > 0; step++) {
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
      case 1: {
        std::string name = channel();
        std::string list = input.ConsumeBool() ? std::string(input.PickValueInArray(kLists)) : text(64);
        int timeout;
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
          case 0: timeout = 0; break;
          case 1: timeout = input.ConsumeIntegralInRange<int>(1, 10); break;
          case 2: timeout = input.ConsumeIntegralInRange<int>(35791390, 35791400); break;  // seconds near 2^31
          default: timeout = input.ConsumeIntegral<int>();
        }
        std::string value = text(256);
        std::string origin = input.ConsumeBool() ? std::string(input.PickValueInArray(kOrigins)) : text(64);
        int32_t expected = modelSet(name, list, timeout, value, origin);
        FUZZ_CHECK(KestrovanValue_set_value(name.c_str(), list.c_str(), timeout, value.c_str(), origin.c_str()) ==
                   expected);
        break;
      }
      case 2: {
        std::string name = channel();
        std::string origin = input.ConsumeBool() ? std::string(input.PickValueInArray(kOrigins)) : text(64);
        std::string expected = modelGet(name, origin);
        char* got = KestrovanValue_get_value(name.c_str(), origin.c_str());
        FUZZ_CHECK(got != nullptr);
        FUZZ_CHECK(expected == got);
        free(got);
        break;
      }
      case 3:
        now += input.ConsumeIntegralInRange<int64_t>(0, 7200);
        break;
      default: {
        int index = input.ConsumeIntegralInRange<int>(-1, KESTROVAN_VALUE_RECORDS);
        KestrovanValue_init(index);
        if (index >= 0 && index < KESTROVAN_VALUE_RECORDS)
          model[index] = ModelRecord();
      }
    }
    compareTable();
  }
  // Missing arguments.
  FUZZ_CHECK(KestrovanValue_set_value(nullptr, "", 0, "v", kOrigins[0]) == 61005);
  FUZZ_CHECK(KestrovanValue_set_value("a", nullptr, 0, "v", kOrigins[0]) == 61005);
  FUZZ_CHECK(KestrovanValue_set_value("a", "", 0, nullptr, kOrigins[0]) == 61005);
  FUZZ_CHECK(KestrovanValue_set_value("a", "", 0, "v", nullptr) == 61005);
  char* none = KestrovanValue_get_value(nullptr, "https://example.com");
  FUZZ_CHECK(none != nullptr && none[0] == '\0');
  free(none);
  KestrovanValue_final();
  return 0;
}
