// SPDX-License-Identifier: Apache-2.0
// paths.cpp -- the built-in path table of permitted adapters, the cleaning
// of names that go into file paths, and resolving a request's adapter
// location from its "PathID" or its "LibDir"/"ComName".
#include "session/session.h"

#include <cstring>
#include <strings.h>

#include "params/params.h"
#include "support/support.h"

static const char* const kForbiddenFileNameCharacters = "<>:\"/\\|?*;&$`'";

void KestrovanSession_searchPathTable(const char* pathId, char* libDir, char* comName) {
  if (pathId == nullptr) {
    showNullParameter("PathID", "KestrovanQueue", __LINE__);
    return;
  }
  if (libDir == nullptr) {
    showNullParameter("LibDir", "KestrovanQueue", __LINE__);
    return;
  }
  if (comName == nullptr) {
    showNullParameter("ComName", "KestrovanQueue", __LINE__);
    return;
  }
  if (strcasecmp(pathId, KESTROVAN_PATH_TABLE_ID) == 0) {
    ArrayCopy(libDir, KESTROVAN_NAME_SIZE, KESTROVAN_PATH_TABLE_LIB_DIR);
    ArrayCopy(comName, KESTROVAN_NAME_SIZE, KESTROVAN_PATH_TABLE_COM_NAME);
  }
}

bool KestrovanSession_isInPathTable(const char* libDir, const char* comName) {
  if (libDir == nullptr) {
    showNullParameter("LibDir", "KestrovanQueue", __LINE__);
    return false;
  }
  if (comName == nullptr) {
    showNullParameter("ComName", "KestrovanQueue", __LINE__);
    return false;
  }
  bool match = strcasecmp(libDir, KESTROVAN_PATH_TABLE_LIB_DIR) == 0 &&
               strcasecmp(comName, KESTROVAN_PATH_TABLE_COM_NAME) == 0;
  printfColorWarningLine("Path table compare: ", match ? "Success" : "Fail");
  printfColorWarningLine("Lib: ", KESTROVAN_PATH_TABLE_LIB_DIR);
  printfColorWarningLine("Component: ", KESTROVAN_PATH_TABLE_COM_NAME);
  return match;
}

void sanitize_file_name(char* name, size_t size) {
  if (name == nullptr || size == 0) return;
  size_t kept = 0;
  for (size_t read = 0; read < size && name[read] != '\0'; read++) {
    if (strchr(kForbiddenFileNameCharacters, name[read]) == nullptr) name[kept++] = name[read];
  }
  memset(name + kept, 0, size - kept);
  if (kept == 2 && name[0] == '.' && name[1] == '.') {
    name[0] = '\0';
    name[1] = '\0';
  }
}

int32_t KestrovanSession_resolveLocation(KestrovanJsonMap* map, char* libDir, char* comName) {
  memset(libDir, 0, KESTROVAN_NAME_SIZE);
  memset(comName, 0, KESTROVAN_NAME_SIZE);
  char* pathId = getKestrovanJsonCharType(map, "PathID");
  // A name cut to fit its buffer could name another file: such a name is
  // refused below unless the path table replaces it.
  bool tooLong = false;
  char* fetched = getKestrovanJsonCharType(map, "LibDir");
  if (fetched != nullptr) {
    tooLong = tooLong || strlen(fetched) >= KESTROVAN_NAME_SIZE;
    ArrayCopyFree(libDir, KESTROVAN_NAME_SIZE, fetched);
  }
  fetched = getKestrovanJsonCharType(map, "ComName");
  if (fetched != nullptr) {
    tooLong = tooLong || strlen(fetched) >= KESTROVAN_NAME_SIZE;
    ArrayCopyFree(comName, KESTROVAN_NAME_SIZE, fetched);
  }
  sanitize_file_name(libDir, KESTROVAN_NAME_SIZE);
  sanitize_file_name(comName, KESTROVAN_NAME_SIZE);
  printfColorLine("Adapter folder: ", libDir);
  printfColorLine("Adapter name: ", comName);

  int32_t code = 0;
  if (!checkNoValue(pathId)) {
    printfColorLine("Path id mode: ", "Active");
    // An unknown PathID keeps the names the page sent; they were cleaned above.
    KestrovanSession_searchPathTable(pathId, libDir, comName);
    if (strcasecmp(pathId, KESTROVAN_PATH_TABLE_ID) == 0) tooLong = false;
  } else {
    printfColorLine("Path id check location mode: ", "Active");
    if (!KestrovanSession_isInPathTable(libDir, comName)) {
      printfColorLine("Out of path table connection: ", "Reject");
      code = KESTROVAN_ERR_LOCATION;
    } else {
      // The comparison ignored case; load the row as stored, which is the
      // file's name on a case-sensitive file system.
      ArrayCopy(libDir, KESTROVAN_NAME_SIZE, KESTROVAN_PATH_TABLE_LIB_DIR);
      ArrayCopy(comName, KESTROVAN_NAME_SIZE, KESTROVAN_PATH_TABLE_COM_NAME);
    }
  }
  if (code == 0 && tooLong) {
    printfColorErrorLine("Adapter location too long: ", "Reject");
    code = KESTROVAN_ERR_LOCATION;
  }
  if (code == 0 && (comName[0] == '\0' || libDir[0] == '\0')) {
    printfColorLine("No path information connection: ", "Reject");
    code = KESTROVAN_ERR_LOCATION;
  }
  freeSecret(pathId);
  return code;
}
