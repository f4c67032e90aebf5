// SPDX-License-Identifier: Apache-2.0
// service_mode.cpp -- how this user's running service was started.
#include "tools/service_mode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

std::string KestrovanServiceMode_describe() {
  std::string out;
  DIR* proc = opendir("/proc");
  if (proc == nullptr)
    return out;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
      continue;
    std::string folder = std::string("/proc/") + entry->d_name;
    struct stat info;
    if (stat(folder.c_str(), &info) != 0 || info.st_uid != geteuid())
      continue;
    char name[64] = "";
    FILE* comm = fopen((folder + "/comm").c_str(), "r");
    if (comm == nullptr)
      continue;
    bool read = fgets(name, sizeof(name), comm) != nullptr;
    fclose(comm);
    if (!read || strcmp(name, "NORTAKestrovan\n") != 0)
      continue;
    int pid = atoi(entry->d_name);
    int handed = KestrovanPlatform_startedWithSockets(pid);
    if (handed < 0)
      continue;
    if (!out.empty())
      out += "; ";
    out += std::string(handed == 1 ? "socket activation" : "plain start") + " (process " + entry->d_name + ")";
  }
  closedir(proc);
  return out;
}
