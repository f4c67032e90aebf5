// SPDX-License-Identifier: Apache-2.0
// denials.cpp -- what the consent dialog remembers for the service's run:
// sites the user denied (not asked again until a back-off passes, which
// doubles with every further denial, up to an hour) and sites a consent
// dialog is open or waiting for (asked about once at a time).
//
// Every session has its own copy of the adapter, so this cannot live in a
// copy's globals: it lives in a private file of the configuration folder,
// one per run of the service, named after the service process's id and
// start time ("denied-origins.<pid>.<start>", /proc/self/stat), so neither
// a later run nor another process that reuses the id inherits it. Files of
// runs that ended are removed when seen. Every change happens under the
// per-user lock "denied-origins.lock", taken alone, and is written to a
// temporary file renamed over the old one.
//
// A file that cannot be read or written takes nothing away: the site is
// asked as it would be without this memory.
#include "helm.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#define HELM_DENIALS_PREFIX "denied-origins."
#define HELM_DENIALS_LOCK "denied-origins.lock"
#define HELM_MAX_DENIALS_BYTES (256u * 1024u)
#define HELM_MAX_DENIALS 1024u

// Milliseconds on the clock every process of the machine shares, which
// keeps counting through a suspend.
static long long nowMs() {
  struct timespec now;
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The start time of a process (field 22 of /proc/<pid>/stat, in clock
// ticks since boot), or 0 when it does not run.
static unsigned long long startTime(const char* pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/stat", pid);
  // Read as it comes: the kernel gives proc files no size.
  char buffer[1024];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return 0;
  std::string text(buffer, (size_t)n);
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // After the name: state is field 3, start time field 22.
  const char* p = text.c_str() + close + 1;
  for (int field = 3; field < 22; field++) {
    while (*p == ' ') p++;
    while (*p != ' ' && *p != '\0') p++;
  }
  while (*p == ' ') p++;
  return strtoull(p, nullptr, 10);
}

// This run's file name, "denied-origins.<pid>.<start>".
static std::string runFile() {
  static std::string name;
  if (name.empty()) {
    char self[32];
    snprintf(self, sizeof self, "%ld", (long)getpid());
    name = std::string(HELM_DENIALS_PREFIX) + self + "." + std::to_string(startTime("self"));
  }
  return name;
}

// Whether a denials file belongs to a service run that is still going.
static bool runAlive(const std::string& name) {
  std::string key = name.substr(strlen(HELM_DENIALS_PREFIX));
  size_t dot = key.find('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string pid = key.substr(0, dot);
  if (pid.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long started = startTime(pid.c_str());
  return started != 0 && std::to_string(started) == key.substr(dot + 1);
}

// The denials files in the folder: those of runs still going in *live,
// the others removed.
static void runFiles(const std::string& folder, std::vector<std::string>* live) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, strlen(HELM_DENIALS_PREFIX), HELM_DENIALS_PREFIX) != 0 || name == HELM_DENIALS_LOCK) continue;
    if (name.find(".tmp") != std::string::npos) continue;
    if (runAlive(name)) live->push_back(name);
    else unlink((folder + "/" + name).c_str());
  }
  closedir(dir);
}

// One line: "<origin> <denials> <asked again at, ms> <pending 0|1>".
static void parse(const std::string& text, std::vector<HelmDenial>* out) {
  size_t at = 0;
  std::string line, comment;
  while (HelmFiles_NextLine(text, &at, &line, &comment) && out->size() < HELM_MAX_DENIALS) {
    char origin[300];
    unsigned count = 0;
    long long until = 0;
    int pending = 0;
    if (sscanf(line.c_str(), "%299s %u %lld %d", origin, &count, &until, &pending) != 4) continue;
    HelmOrigin parsed;
    if (!HelmOrigins_Parse(origin, &parsed)) continue;
    HelmDenial d;
    d.origin = HelmOrigins_Canonical(&parsed);
    d.denials = count;
    d.untilMs = until;
    d.pending = pending != 0;
    out->push_back(d);
  }
}

static void load(const std::string& path, std::vector<HelmDenial>* out) {
  std::string text;
  int error = 0;
  uid_t self = geteuid();
  if (HelmFiles_Read(path, HELM_MAX_DENIALS_BYTES, &self, &text, &error) == HELM_FILE_READ) parse(text, out);
}

// Writes the entries that still mean something (a denial or a pending
// dialog) to path, through a temporary file; an empty list removes it.
static bool store(const std::string& path, const std::vector<HelmDenial>& entries) {
  std::string text;
  for (const HelmDenial& d : entries) {
    if (d.denials == 0 && !d.pending) continue;
    text += d.origin + " " + std::to_string(d.denials) + " " + std::to_string(d.untilMs) + " " +
            (d.pending ? "1" : "0") + "\n";
  }
  if (text.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
  std::string temporary = path + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += (size_t)n;
  }
  bool ok = written == text.size() && fchmod(fd, 0600) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

static HelmDenial* find(std::vector<HelmDenial>* entries, const std::string& origin) {
  for (HelmDenial& d : *entries) {
    if (d.origin == origin) return &d;
  }
  return nullptr;
}

HelmDenialCheck HelmDenials_Begin(const std::string& origin, long long* waitMs) {
  *waitMs = 0;
  std::string folder = HelmPaths_ConfigFolder();
  int lock = HelmLock_Take(HELM_DENIALS_LOCK, -1);
  if (folder.empty() || lock < 0) {
    HelmLock_Release(lock);
    return HELM_DENIAL_ASK;
  }
  std::vector<std::string> live;
  runFiles(folder, &live);
  std::string path = folder + "/" + runFile();
  std::vector<HelmDenial> entries;
  load(path, &entries);
  HelmDenialCheck code = HELM_DENIAL_ASK;
  HelmDenial* entry = find(&entries, origin);
  long long now = nowMs();
  if (entry != nullptr && entry->pending) {
    code = HELM_DENIAL_PENDING;
  } else if (entry != nullptr && entry->denials > 0 && entry->untilMs > now) {
    code = HELM_DENIAL_BACKING_OFF;
    *waitMs = entry->untilMs - now;
  } else {
    if (entry == nullptr) {
      HelmDenial fresh;
      fresh.origin = origin;
      fresh.denials = 0;
      fresh.untilMs = 0;
      fresh.pending = false;
      entries.push_back(fresh);
      entry = &entries.back();
    }
    entry->pending = true;
    store(path, entries);
  }
  HelmLock_Release(lock);
  return code;
}

void HelmDenials_End(const std::string& origin, HelmDenialOutcome outcome, unsigned backoffSeconds) {
  std::string folder = HelmPaths_ConfigFolder();
  int lock = HelmLock_Take(HELM_DENIALS_LOCK, -1);
  if (folder.empty() || lock < 0) {
    HelmLock_Release(lock);
    return;
  }
  std::string path = folder + "/" + runFile();
  std::vector<HelmDenial> entries;
  load(path, &entries);
  HelmDenial* entry = find(&entries, origin);
  if (entry != nullptr) {
    entry->pending = false;
    if (outcome == HELM_DENIAL_GRANTED) {
      entry->denials = 0;
    } else if (outcome == HELM_DENIAL_DENIED) {
      entry->denials++;
      long long backoff = (long long)(backoffSeconds > 0 ? backoffSeconds : 1) * 1000;
      for (unsigned i = 1; i < entry->denials && backoff < HELM_MAX_DENIAL_BACKOFF_SECONDS * 1000LL; i++) backoff *= 2;
      if (backoff > HELM_MAX_DENIAL_BACKOFF_SECONDS * 1000LL) backoff = HELM_MAX_DENIAL_BACKOFF_SECONDS * 1000LL;
      entry->untilMs = nowMs() + backoff;
    }
    store(path, entries);
  }
  HelmLock_Release(lock);
}

bool HelmDenials_List(std::vector<HelmDenial>* out, long long* nowOut) {
  *nowOut = nowMs();
  std::string folder = HelmPaths_ConfigFolder();
  int lock = HelmLock_Take(HELM_DENIALS_LOCK, 5000);
  if (folder.empty() || lock < 0) {
    HelmLock_Release(lock);
    return false;
  }
  std::vector<std::string> live;
  runFiles(folder, &live);
  for (const std::string& name : live) load(folder + "/" + name, out);
  HelmLock_Release(lock);
  return true;
}

bool HelmDenials_Clear(const std::string& origin, unsigned* cleared) {
  *cleared = 0;
  std::string folder = HelmPaths_ConfigFolder();
  int lock = HelmLock_Take(HELM_DENIALS_LOCK, 5000);
  if (folder.empty() || lock < 0) {
    HelmLock_Release(lock);
    return false;
  }
  std::vector<std::string> live;
  runFiles(folder, &live);
  bool ok = true;
  for (const std::string& name : live) {
    std::vector<HelmDenial> entries;
    load(folder + "/" + name, &entries);
    bool changed = false;
    for (HelmDenial& d : entries) {
      if (d.denials == 0 || (!origin.empty() && d.origin != origin)) continue;
      d.denials = 0;
      d.untilMs = 0;
      (*cleared)++;
      changed = true;
    }
    if (changed && !store(folder + "/" + name, entries)) ok = false;
  }
  HelmLock_Release(lock);
  return ok;
}
