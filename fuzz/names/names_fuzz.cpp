// SPDX-License-Identifier: Apache-2.0
// names_fuzz.cpp -- the cleaning of names that go into file paths, and the
// adapter location a request resolves to:
//  - sanitize_file_name on any bytes in a buffer of any size: the result is
//    terminated inside the buffer, zero-filled after it, keeps the other
//    characters in order, holds none of < > : " / \ | ? * ; & $ ` ' and is
//    never "..";
//  - KestrovanSession_resolveLocation with any PathID, LibDir and ComName:
//    an accepted location is two non-empty clean names that are never ".."
//    and, without the table's PathID, the path table's own row.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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

static const char kForbidden[] = "<>:\"/\\|?*;&$`'";

static bool clean(const char* name) {
  return strpbrk(name, kForbidden) == nullptr && strcmp(name, "..") != 0;
}

static void sanitize(const std::string& bytes, size_t size) {
  // A name terminated inside its buffer (as every caller's is), then junk
  // up to the buffer's end and one guard byte after it that must stay.
  std::vector<char> buffer(size + 1, 'G');
  size_t length = size > 0 ? std::min(size - 1, bytes.size()) : 0;
  std::copy(bytes.begin(), bytes.begin() + (long)length, buffer.begin());
  if (size > 0)
    buffer[length] = '\0';
  std::string before(buffer.data(), size > 0 ? strlen(buffer.data()) : 0);
  sanitize_file_name(size > 0 ? buffer.data() : nullptr, size);
  FUZZ_CHECK(buffer[size] == 'G');
  if (size == 0)
    return;

  std::string expected;
  for (char c : before)
    if (strchr(kForbidden, c) == nullptr)
      expected += c;
  if (expected == "..")
    expected.clear();
  FUZZ_CHECK(strnlen(buffer.data(), size) == expected.size());
  FUZZ_CHECK(expected.compare(0, expected.size(), buffer.data(), expected.size()) == 0);
  for (size_t i = expected.size(); i < size; i++)
    FUZZ_CHECK(buffer[i] == '\0');
  FUZZ_CHECK(clean(buffer.data()));
}

static void location(const std::string& pathId, const std::string& libDir, const std::string& comName,
                     int present) {
  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  FUZZ_CHECK(map != nullptr);
  if (present & 1)
    addKestrovanJsonMapUnit(map, "PathID", pathId.c_str());
  if (present & 2)
    addKestrovanJsonMapUnit(map, "LibDir", libDir.c_str());
  if (present & 4)
    addKestrovanJsonMapUnit(map, "ComName", comName.c_str());
  char dir[KESTROVAN_NAME_SIZE], name[KESTROVAN_NAME_SIZE];
  int32_t code = KestrovanSession_resolveLocation(map, dir, name);
  FUZZ_CHECK(code == 0 || code == 61009);
  if (code == 0) {
    FUZZ_CHECK(memchr(dir, '\0', sizeof(dir)) != nullptr && memchr(name, '\0', sizeof(name)) != nullptr);
    FUZZ_CHECK(dir[0] != '\0' && name[0] != '\0');
    FUZZ_CHECK(clean(dir) && clean(name));
    bool tableId = (present & 1) && strcasecmp(pathId.c_str(), KESTROVAN_PATH_TABLE_ID) == 0;
    bool anyId = (present & 1) && !pathId.empty();
    if (tableId || !anyId) {
      FUZZ_CHECK(strcmp(dir, KESTROVAN_PATH_TABLE_LIB_DIR) == 0);
      FUZZ_CHECK(strcmp(name, KESTROVAN_PATH_TABLE_COM_NAME) == 0);
    }
  }
  KestrovanJsonFinal(map);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto text = [&](size_t most) { return KestrovanFuzz_text(input, most); };
  size_t bufferSize = input.ConsumeIntegralInRange<size_t>(0, 80);
  int present = input.ConsumeIntegralInRange<int>(0, 7);
  std::string raw = input.ConsumeRandomLengthString(100);
  std::string pathId = input.ConsumeBool() ? std::string(KESTROVAN_PATH_TABLE_ID) : text(40);
  std::string libDir = text(80);
  std::string comName = text(80);
  sanitize(raw, bufferSize);
  location(pathId, libDir, comName, present);
  return 0;
}
