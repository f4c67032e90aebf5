// SPDX-License-Identifier: Apache-2.0
// program.cpp -- starting and speaking to kestrovan-helm-chooser, the
// adapter's own dialog program, under the rules pinentry runs by: only with
// a graphical session, one dialog at a time across every copy (the per-user
// "dialog.lock"), a session and process group of its own with every signal
// at its default and the parent's death as its SIGTERM, a deadline of the
// adapter's own, and an end as soon as nobody waits for the answer any more
// (the call's token, asked every quarter second). Ending it always ends its
// whole process group.
#include "helm.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kestrovan/adapter_host.h"

#define HELM_PROGRAM_POLL_MS 250
#define HELM_PROGRAM_GRACE_SECONDS 2

struct HelmProgram {
  pid_t pid;
  int toChild;      // its stdin
  int fromChild;    // its stdout
  int lock;         // "dialog.lock"
  uint64_t callToken;
  std::string pending;   // bytes read past the last line
  bool unwanted;         // nobody waits for it any more, or its time is up: ended at once
};

static long long nowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

std::string HelmProgram_InstalledFolder() {
  // In the service the library is a session's private copy in the copy
  // folder: what was installed with it lies in its installed folder, below
  // the service's.
  char host[4096];
  if (KestrovanAdapter_hostInstallFolder(host, sizeof host) == 1) {
    return std::string(host) + "/" HELM_INSTALL_FOLDER_NAME "/";
  }
  // Loaded from where it lies (a test, another host): beside the library.
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&HelmProgram_InstalledFolder), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

static std::string besideAdapter() {
  std::string folder = HelmProgram_InstalledFolder();
  return folder.empty() ? std::string() : folder + HELM_CHOOSER_PROGRAM;
}

std::string HelmProgram_Path(const HelmSettings* settings) {
  if (!settings->chooser.empty()) return settings->chooser;
  return besideAdapter();
}

namespace {
struct LockWait {
  uint64_t token;
  bool abandoned;
};
}  // namespace

static bool callGone(void* opaque) {
  LockWait* wait = static_cast<LockWait*>(opaque);
  wait->abandoned = KestrovanAdapter_callAbandoned(wait->token) == 1;
  return wait->abandoned;
}

static bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= (size_t)n;
  }
  return true;
}

HelmProgram* HelmProgram_Start(const HelmSettings* settings, const std::string& request, int* code, std::string* why) {
  *code = HELM_E_NO_DIALOG;
  uint64_t token = KestrovanAdapter_callToken();
  std::string path = HelmProgram_Path(settings);
  if (path.empty() || path[0] != '/' || access(path.c_str(), X_OK) != 0) {
    *why = "no dialog program at " + (path.empty() ? std::string("(unknown)") : path);
    return nullptr;
  }
  const char* display = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if ((display == nullptr || display[0] == '\0') && (wayland == nullptr || wayland[0] == '\0')) {
    *why = "no graphical session to show a dialog in (DISPLAY and WAYLAND_DISPLAY are unset)";
    return nullptr;
  }
  LockWait wait = {token, false};
  unsigned waitSeconds = settings->dialogSeconds + HELM_PROGRAM_GRACE_SECONDS + 1;
  int lock = HelmLock_TakeUnless("dialog.lock", (int)waitSeconds * 1000, token != 0 ? callGone : nullptr, &wait);
  if (lock < 0) {
    if (wait.abandoned) {
      *code = HELM_E_CANCELLED;
      *why = "the page that asked went away before the dialog could be shown";
    } else {
      *why = "another Kestrovan dialog stayed open too long";
    }
    return nullptr;
  }
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    HelmLock_Release(lock);
    *why = "no pipe for the dialog";
    return nullptr;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    HelmLock_Release(lock);
    *why = "no pipe for the dialog";
    return nullptr;
  }
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const char* argv[2] = {path.c_str(), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    // Async-signal-safe calls only: the service has threads.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const unsigned long byDefault[4] = {0, 0, 0, 0};
    for (int number = 1; number < NSIG; number++) {
      if (number != SIGKILL && number != SIGSTOP) syscall(SYS_rt_sigaction, number, byDefault, nullptr, sizeof(uint64_t));
    }
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (null >= 0) dup2(null, 2);
    // Nothing else of the service's (its sockets, its files) goes along.
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
    {
      for (int fd = 3; fd < 65536; fd++) close(fd);
    }
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (null >= 0) close(null);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    HelmLock_Release(lock);
    *why = "the dialog program could not be started";
    return nullptr;
  }
  HelmProgram* program = new HelmProgram();
  program->pid = pid;
  program->toChild = in[1];
  program->fromChild = out[0];
  program->lock = lock;
  program->callToken = token;
  program->unwanted = false;
  // A dialog that ended at once must not stop the service with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (!writeAll(program->toChild, request.data(), request.size())) {
    HelmProgram_End(program);
    *why = "the dialog program did not take its request";
    return nullptr;
  }
  *code = HELM_OK;
  return program;
}

bool HelmProgram_Send(HelmProgram* program, const std::string& line) {
  std::string text = !line.empty() && line.back() == '\n' ? line : line + "\n";
  return writeAll(program->toChild, text.data(), text.size());
}

HelmProgramRead HelmProgram_ReadLine(HelmProgram* program, int waitMs, std::string* line) {
  line->clear();
  long long deadline = nowMs() + waitMs;
  while (true) {
    size_t newline = program->pending.find('\n');
    if (newline != std::string::npos) {
      *line = program->pending.substr(0, newline);
      program->pending.erase(0, newline + 1);
      return HELM_PROGRAM_LINE;
    }
    if (program->callToken != 0 && KestrovanAdapter_callAbandoned(program->callToken) == 1) {
      program->unwanted = true;
      return HELM_PROGRAM_ABANDONED;
    }
    // Looked at once at least, also when no wait is wanted.
    long long left = deadline - nowMs();
    if (left < 0) left = 0;
    struct pollfd p = {program->fromChild, POLLIN, 0};
    int ready = poll(&p, 1, (int)(left < HELM_PROGRAM_POLL_MS ? left : HELM_PROGRAM_POLL_MS));
    if (ready < 0 && errno != EINTR) return HELM_PROGRAM_ENDED;
    if (ready <= 0) {
      if (left == 0) {
        if (waitMs > 0) program->unwanted = true;
        return HELM_PROGRAM_TIMEOUT;
      }
      continue;
    }
    char buffer[512];
    ssize_t n = read(program->fromChild, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return HELM_PROGRAM_ENDED;
    // A program that talks without end is not listened to.
    if (program->pending.size() + (size_t)n > 4096) return HELM_PROGRAM_ENDED;
    program->pending.append(buffer, (size_t)n);
  }
}

static bool reap(pid_t pid, int milliseconds) {
  for (int waited = 0;; waited += 20) {
    pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (waited >= milliseconds) return false;
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

static void signalGroup(pid_t pid, int signal) {
  if (pid > 0 && kill(-pid, signal) != 0) kill(pid, signal);
}

void HelmProgram_End(HelmProgram* program) {
  if (program == nullptr) return;
  close(program->toChild);   // end of its input: it closes its window
  close(program->fromChild);
  if (program->unwanted) signalGroup(program->pid, SIGTERM);
  if (!reap(program->pid, 300)) {
    signalGroup(program->pid, SIGTERM);
    if (!reap(program->pid, 2000)) {
      signalGroup(program->pid, SIGKILL);
      while (waitpid(program->pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  // Helpers it started go with its group (no single-process fallback here:
  // the leader is reaped and its id free).
  kill(-program->pid, SIGTERM);
  Helm_WipeString(&program->pending);
  HelmLock_Release(program->lock);
  delete program;
}

std::string HelmProgram_Escape(const std::string& text) {
  return HelmDialog_Escape(text, 4096);
}
