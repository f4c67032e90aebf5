// SPDX-License-Identifier: Apache-2.0
// log_start.cpp -- setLog: the log mirror of the trace configured from the
// user's own profile, once its folder is found private. A loud wrapper
// over the quiet trace core (trace.cpp), the log (log.cpp) and the
// private-folder check (files.cpp), so that none of those needs another.
#include "support/log_start.h"

#include <cstdlib>

#include "support/codes.h"
#include "support/copy.h"
#include "support/files.h"
#include "support/log.h"
#include "support/trace.h"

static const char kModule[] = "Tool";

bool setLog(const char* logName, const char* prefixName) {
  if (isLogEnable.load())
    return true;
  int result = KESTROVAN_ERR_GENERAL;
  if (logName == nullptr)
    showNullParameter("inputLogName", kModule, __LINE__);
  if (prefixName == nullptr)
    showNullParameter("inputPrefixName", kModule, __LINE__);
  if (logName != nullptr && prefixName != nullptr) {
    ArrayCopy(PrefixName, sizeof(PrefixName), prefixName);
    char target[512];
    char folder[512];
    char path[512];
    ArrayCopy(target, sizeof(target), logName);
    StringAppend(target, sizeof(target), ".ini");
    // The profile lives in the user's own folder under HOME (the one that
    // holds the certificate), never in the /tmp every user shares.
    const char* home = getenv("HOME");
    ArrayCopy(folder, sizeof(folder), home != nullptr && home[0] == '/' ? home : "");
    StringAppend(folder, sizeof(folder), "/");
    StringAppend(folder, sizeof(folder), logName);
    ArrayCopy(path, sizeof(path), folder);
    StringAppend(path, sizeof(path), "/");
    StringAppend(path, sizeof(path), target);
    printfColorLine("inputLogName: ", logName);
    printfColorLine("Log search path: ", path);
    printfColorLine("Log search target: ", target);
    // A profile in a folder someone else controls could point the log at
    // this user's files, so such a folder counts as absent.
    bool homeSet = home != nullptr && home[0] == '/';
    if (!homeSet)
      printfColorWarningLine("Folder not trusted: ", "HOME is not an absolute path");
    if (homeSet && checkPrivateFolder(folder))
      result = zrlog_init(logName, path);
    else
      result = KESTROVAN_INI_NO_PROFILE;
    zrlog(5, 0, "%s %d %s Compile Time : %s %s", kModule, __LINE__, "setLog", __DATE__, __TIME__);
  }
  bool enabled = result == 0;
  if (enabled)
    isLogEnable.store(true);
  showNormalState("Log state: ", enabled, "Enable", "Disable");
  return enabled;
}
