// SPDX-License-Identifier: Apache-2.0
// dialog.cpp -- native dialogs through a pinentry program, spoken to over
// the Assuan protocol with libassuan.
//
// What the user sees must be what the adapter means, and only the user's
// explicit OK may grant anything:
//   - every argument is percent-escaped (a raw line break would end the
//     command and start another) and bounded before libassuan could cut it;
//     text from outside is first made one harmless line (HelmDialog_Line);
//   - the answers are judged strictly: OK grants, everything else refuses;
//     "not confirmed" (the third button) is what a terminal pinentry without
//     a terminal answers at once, showing nothing, so it never grants alone;
//   - a terminal pinentry is never started (the service has no terminal),
//     nor is any pinentry without a graphical session to show it in;
//   - each shown dialog has a deadline of the adapter's own, after which the
//     pinentry process group is ended (some flavors ignore their timeout for
//     some dialogs, and none notices a window that went away); it also ends
//     as soon as the service says nobody waits for the call any more (the
//     page went away, the service is stopping), which counts as a cancel;
//   - pinentry starts with no signal blocked or ignored (the service's
//     threads block the stop signals, which a child would inherit and so
//     outlive every SIGTERM), in a session and process group of its own,
//     and with the parent's death as its own SIGTERM;
//   - one dialog at a time across every session (the per-user
//     "dialog.lock"), so that two sites never ask at the same place;
//   - the PIN is copied out of libassuan's line buffer and wiped there, and
//     every block libassuan allocates for the conversation is wiped when it
//     is freed; GETPIN runs in confidential mode and nothing is logged.
#include "helm.h"

#include <assuan.h>
#include <gpg-error.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kestrovan/adapter_host.h"

// Longest escaped argument sent (libassuan cuts lines at 1000 bytes).
#define HELM_DIALOG_MAX_ARGUMENT 900u
#define HELM_DIALOG_MAX_TITLE 160u
// What the adapter's deadline adds to the dialog's own timeout.
#define HELM_DIALOG_GRACE_SECONDS 2
// How long pinentry may take to greet.
#define HELM_DIALOG_START_SECONDS 15
// How often a shown dialog asks whether its call was abandoned.
#define HELM_DIALOG_ABANDON_POLL_MS 250
// From SIGTERM to SIGKILL for a dialog whose call was abandoned.
#define HELM_DIALOG_ABANDON_KILL_MS 500

typedef std::chrono::steady_clock Clock;

struct HelmDialog {
  assuan_context_t context;
  int lock;                  // "dialog.lock", held while the dialog lives
  unsigned timeoutSeconds;
  bool used;                 // a question was asked: the next one starts with RESET
  bool dead;                 // the conversation ended (killed, closed, broken)
  bool messageShown;         // a MESSAGE waits for its OK: pinentry reads nothing now
  std::string failure;       // why the conversation ended, for the page's message
  // pinentry's process id, written by the child itself right after the fork
  // (a page shared with it), so the deadline also covers the greeting.
  volatile pid_t* childPid;
  // The service's token for the call that opened the dialog (0: a host
  // that follows no calls).
  uint64_t callToken;
  // The deadline keeper: a thread that ends pinentry when an armed deadline
  // passes (SIGTERM, then SIGKILL two seconds later), or, while armed, when
  // the call turns out abandoned (asked every quarter second).
  std::thread keeper;
  std::mutex mutex;
  std::condition_variable wake;
  bool armed;
  bool stop;
  bool fired;
  bool abandoned;            // fired because nobody waits for the answer
  Clock::time_point deadline;
};

// ---- libassuan's memory: wiped when freed ---------------------------------------

// Each block carries its size in front, so that free can wipe it: the
// context holds the line buffer a PIN passes through.
static const size_t kHeader = 16;

static void* wipingMalloc(size_t size) {
  if (size > SIZE_MAX - kHeader) return nullptr;
  unsigned char* block = static_cast<unsigned char*>(malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  memcpy(block, &size, sizeof size);
  return block + kHeader;
}

static void wipingFree(void* pointer) {
  if (pointer == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
  size_t size;
  memcpy(&size, block, sizeof size);
  Helm_Wipe(pointer, size);
  free(block);
}

static void* wipingRealloc(void* pointer, size_t size) {
  if (pointer == nullptr) return wipingMalloc(size);
  void* fresh = wipingMalloc(size);
  if (fresh == nullptr) return nullptr;
  size_t old;
  memcpy(&old, static_cast<unsigned char*>(pointer) - kHeader, sizeof old);
  memcpy(fresh, pointer, old < size ? old : size);
  wipingFree(pointer);
  return fresh;
}

static struct assuan_malloc_hooks wipingHooks = {wipingMalloc, wipingRealloc, wipingFree};

static int noLog(assuan_context_t, void*, unsigned, const char*) { return 0; }

// ---- the deadline keeper ---------------------------------------------------------

// Signals pinentry's whole process group: a helper it started could
// otherwise keep the pipes open after it ended.
static void signalChild(pid_t pid, int signal) {
  if (pid > 0 && kill(-pid, signal) != 0) kill(pid, signal);
}

static void keep(HelmDialog* dialog) {
  std::unique_lock<std::mutex> lock(dialog->mutex);
  while (!dialog->stop) {
    if (!dialog->armed) {
      dialog->wake.wait(lock);
      continue;
    }
    Clock::time_point wakeAt = dialog->deadline;
    bool watching = dialog->callToken != 0 && !dialog->fired;
    if (watching) {
      Clock::time_point poll = Clock::now() + std::chrono::milliseconds(HELM_DIALOG_ABANDON_POLL_MS);
      if (poll < wakeAt) wakeAt = poll;
    }
    dialog->wake.wait_until(lock, wakeAt);
    if (dialog->stop || !dialog->armed) continue;
    if (watching && !dialog->fired) {
      // The host's answer may take its own locks: not asked under ours.
      uint64_t token = dialog->callToken;
      lock.unlock();
      bool gone = KestrovanAdapter_callAbandoned(token) == 1;
      lock.lock();
      if (gone && !dialog->stop && dialog->armed && !dialog->fired) {
        signalChild(*dialog->childPid, SIGTERM);
        dialog->fired = true;
        dialog->abandoned = true;
        dialog->deadline = Clock::now() + std::chrono::milliseconds(HELM_DIALOG_ABANDON_KILL_MS);
        continue;
      }
    }
    if (dialog->stop || !dialog->armed || Clock::now() < dialog->deadline) continue;
    // The child is ours and not yet reaped (HelmDialog_Close reaps it after
    // this thread has ended), so the id cannot name another process.
    signalChild(*dialog->childPid, dialog->fired ? SIGKILL : SIGTERM);
    dialog->fired = true;
    dialog->deadline = Clock::now() + std::chrono::seconds(2);
  }
}

static void arm(HelmDialog* dialog, unsigned seconds) {
  std::lock_guard<std::mutex> lock(dialog->mutex);
  dialog->armed = true;
  dialog->deadline = Clock::now() + std::chrono::seconds(seconds);
  dialog->wake.notify_all();
}

static bool disarm(HelmDialog* dialog) {
  std::lock_guard<std::mutex> lock(dialog->mutex);
  dialog->armed = false;
  dialog->wake.notify_all();
  return dialog->fired;
}

static bool wasAbandoned(HelmDialog* dialog) {
  std::lock_guard<std::mutex> lock(dialog->mutex);
  return dialog->abandoned;
}

// ---- starting pinentry --------------------------------------------------------------

// Runs in the child between fork and exec (async-signal-safe calls only):
// no signal blocked and every disposition the default (the service's
// threads block SIGTERM, SIGINT and SIGHUP, libassuan ignores SIGPIPE, and
// exec keeps both), a session of its own (no controlling terminal a
// pinentry could fall back to, and a process group that ends with it,
// helpers included), SIGTERM when the thread that started it goes (the
// service ended without closing the dialog), and its id for the parent.
static void childStarted(void* opaque, int) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Straight to the kernel: the C library refuses the real-time signals it
  // keeps for itself, which the parent may have ignored too. An all-zero
  // kernel sigaction is SIG_DFL with no flags and an empty mask.
  const unsigned long byDefault[4] = {0, 0, 0, 0};
  for (int number = 1; number < NSIG; number++) {
    if (number != SIGKILL && number != SIGSTOP) syscall(SYS_rt_sigaction, number, byDefault, nullptr, sizeof(uint64_t));
  }
  setsid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  *static_cast<volatile pid_t*>(opaque) = getpid();
}

// Whether a program may show the dialogs: an absolute path to an executable
// that is not a terminal pinentry (by its own name or the one its links
// resolve to, as with /usr/bin/pinentry, an alternative).
static bool usableProgram(const std::string& program, std::string* why) {
  if (program.empty() || program[0] != '/') {
    *why = "the pinentry program must be given by an absolute path";
    return false;
  }
  char resolved[PATH_MAX];
  if (realpath(program.c_str(), resolved) == nullptr || access(resolved, X_OK) != 0) {
    *why = "no pinentry program at " + program;
    return false;
  }
  for (const char* name : {program.c_str(), static_cast<const char*>(resolved)}) {
    const char* base = strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    if (strstr(base, "curses") != nullptr || strstr(base, "tty") != nullptr) {
      *why = std::string("the pinentry program ") + base + " needs a terminal, which the service does not have";
      return false;
    }
  }
  return true;
}

static const char* environmentValue(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Sends one command; its failure is only reported.
static gpg_error_t command(HelmDialog* dialog, const std::string& line) {
  if (dialog->dead) return gpg_error(GPG_ERR_EOF);
  return assuan_transact(dialog->context, line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

static void option(HelmDialog* dialog, const char* name, const char* value) {
  if (value != nullptr) command(dialog, std::string("OPTION ") + name + "=" + HelmDialog_Escape(value, 200));
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

// Takes "dialog.lock" within seconds; while waiting, a call that was
// abandoned stops waiting (*abandoned set).
static int takeDialogLock(unsigned seconds, uint64_t token, bool* abandoned) {
  LockWait wait = {token, false};
  int lock = HelmLock_TakeUnless("dialog.lock", (int)seconds * 1000, token != 0 ? callGone : nullptr, &wait);
  *abandoned = wait.abandoned;
  return lock;
}

HelmDialog* HelmDialog_Open(const HelmSettings* settings, int* code, std::string* why) {
  *code = HELM_E_NO_DIALOG;
  // Taken here, on the thread the service called the adapter on.
  uint64_t token = KestrovanAdapter_callToken();
  if (!usableProgram(settings->pinentry, why)) return nullptr;
  const char* display = environmentValue("DISPLAY");
  if (display == nullptr && environmentValue("WAYLAND_DISPLAY") == nullptr) {
    *why = "no graphical session to show a dialog in (DISPLAY and WAYLAND_DISPLAY are unset)";
    return nullptr;
  }
  unsigned waitSeconds = settings->dialogSeconds + HELM_DIALOG_GRACE_SECONDS + 1;
  bool abandoned = false;
  int lock = takeDialogLock(waitSeconds, token, &abandoned);
  if (lock < 0) {
    if (abandoned) {
      *code = HELM_E_CANCELLED;
      *why = "the page that asked went away before the dialog could be shown";
    } else {
      *why = "another Kestrovan dialog stayed open too long";
    }
    return nullptr;
  }
  void* shared = mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    HelmLock_Release(lock);
    *why = "out of memory";
    return nullptr;
  }
  HelmDialog* dialog = new HelmDialog();
  dialog->context = nullptr;
  dialog->lock = lock;
  dialog->timeoutSeconds = settings->dialogSeconds;
  dialog->used = false;
  dialog->dead = false;
  dialog->messageShown = false;
  dialog->childPid = static_cast<volatile pid_t*>(shared);
  *dialog->childPid = 0;
  dialog->armed = false;
  dialog->stop = false;
  dialog->fired = false;
  dialog->abandoned = false;
  dialog->callToken = token;
  dialog->keeper = std::thread(keep, dialog);

  if (assuan_new_ext(&dialog->context, GPG_ERR_SOURCE_DEFAULT, &wipingHooks, noLog, nullptr) != 0) {
    dialog->context = nullptr;
    dialog->dead = true;
    HelmDialog_Close(dialog);
    *why = "out of memory";
    return nullptr;
  }
  assuan_set_flag(dialog->context, ASSUAN_NO_LOGGING, 1);
  // Reaped by HelmDialog_Close, after the deadline keeper has ended.
  assuan_set_flag(dialog->context, ASSUAN_NO_WAITPID, 1);
  const char* argv[4] = {settings->pinentry.c_str(), nullptr, nullptr, nullptr};
  if (display != nullptr) {
    // In the arguments too: a display given only by OPTION comes too late
    // for some flavors, which then fall back to a terminal.
    argv[1] = "--display";
    argv[2] = display;
  }
  arm(dialog, HELM_DIALOG_START_SECONDS);
  gpg_error_t err = assuan_pipe_connect(dialog->context, settings->pinentry.c_str(), argv, nullptr, childStarted,
                                        const_cast<pid_t*>(dialog->childPid), 0);
  bool fired = disarm(dialog);
  if (err != 0) {
    dialog->dead = true;
    HelmDialog_Close(dialog);
    *why = fired ? "the pinentry program did not start in time" : "the pinentry program could not be started";
    return nullptr;
  }
  option(dialog, "display", display);
  const char* ctype = environmentValue("LC_ALL");
  if (ctype == nullptr) ctype = environmentValue("LC_CTYPE");
  if (ctype == nullptr) ctype = environmentValue("LANG");
  option(dialog, "lc-ctype", ctype);
  const char* messages = environmentValue("LC_ALL");
  if (messages == nullptr) messages = environmentValue("LC_MESSAGES");
  if (messages == nullptr) messages = environmentValue("LANG");
  option(dialog, "lc-messages", messages);
  command(dialog, "SETTIMEOUT " + std::to_string(settings->dialogSeconds));
  *code = HELM_OK;
  return dialog;
}

// ---- questions ------------------------------------------------------------------------

// Sends one of the commands that make up a dialog. A dialog that would not
// show all its texts (the site, above all) is not shown at all: a refusal
// ends the conversation.
static bool setUp(HelmDialog* dialog, const std::string& line) {
  gpg_error_t err = command(dialog, line);
  if (err == 0) return true;
  if (!dialog->dead) dialog->failure = "pinentry: " + line.substr(0, line.find(' ')) + ": " + gpg_strerror(err);
  dialog->dead = true;
  return false;
}

// The whole texts other files pass to the PIN dialogs (titles, prompts, the
// words after a wrong PIN), marked here for the catalogs and translated when
// shown; a text not among them is shown as given.
static const char* const kPassedTexts[] = {
    HELM_N_("Kestrovan: PIN"),
    HELM_N_("Kestrovan: password"),
    HELM_N_("Kestrovan: PIN pad"),
    HELM_N_("PIN:"),
    HELM_N_("Password:"),
    HELM_N_("Wrong PIN. Try again."),
    HELM_N_("Wrong password. Try again."),
    HELM_N_("Wrong PIN. One try is left: another wrong PIN locks the token."),
    HELM_N_("Wrong PIN. Few tries are left before the token locks."),
    HELM_N_("No PIN was entered."),
    HELM_N_("The PIN is too long."),
};

static std::string passed(const char* text) {
  for (const char* known : kPassedTexts) {
    if (strcmp(known, text) == 0) return HelmText_Translate(known);
  }
  return text;
}

static bool prepare(HelmDialog* dialog, const char* givenTitle, const std::string& description) {
  if (dialog->used && !setUp(dialog, "RESET")) return false;
  dialog->used = true;
  std::string title = passed(givenTitle);
  return setUp(dialog, "SETTITLE " + HelmDialog_Escape(HelmDialog_Line(title.data(), title.size(), HELM_DIALOG_MAX_TITLE),
                                                       HELM_DIALOG_MAX_ARGUMENT)) &&
         setUp(dialog, "SETDESC " + HelmDialog_Escape(description, HELM_DIALOG_MAX_ARGUMENT));
}

static bool button(HelmDialog* dialog, const char* which, const char* label) {
  return label == nullptr || setUp(dialog, std::string(which) + " " + HelmDialog_Escape(label, 100));
}

static HelmDialogAnswer judge(HelmDialog* dialog, gpg_error_t err, bool fired) {
  if (err == 0 && !fired) return HELM_DIALOG_OK;
  if (fired) {
    dialog->dead = true;
    return wasAbandoned(dialog) ? HELM_DIALOG_ABANDONED : HELM_DIALOG_TIMEOUT;
  }
  switch (gpg_err_code(err)) {
    case GPG_ERR_CANCELED:
      return HELM_DIALOG_CANCELLED;
    case GPG_ERR_NOT_CONFIRMED:
      return HELM_DIALOG_NOT_OK;
    case GPG_ERR_TIMEOUT:
      return HELM_DIALOG_TIMEOUT;
    default:
      // No display after all, the program ended, the protocol broke.
      dialog->dead = true;
      dialog->failure = std::string("pinentry: ") + gpg_strerror(err);
      return HELM_DIALOG_UNAVAILABLE;
  }
}

HelmDialogAnswer HelmDialog_Confirm(HelmDialog* dialog, const char* title, const std::string& description,
                                    const char* ok, const char* notOk, const char* cancel) {
  if (dialog == nullptr || dialog->dead || dialog->messageShown) return HELM_DIALOG_UNAVAILABLE;
  if (!prepare(dialog, title, description) || !button(dialog, "SETOK", ok) || !button(dialog, "SETNOTOK", notOk) ||
      !button(dialog, "SETCANCEL", cancel)) {
    return HELM_DIALOG_UNAVAILABLE;
  }
  arm(dialog, dialog->timeoutSeconds + HELM_DIALOG_GRACE_SECONDS);
  gpg_error_t err = command(dialog, "CONFIRM");
  bool fired = disarm(dialog);
  return judge(dialog, err, fired);
}

namespace {
struct PinSink {
  char* pin;
  size_t size;
  size_t length;
  bool tooLong;
};
}  // namespace

// libassuan decodes the D line in its own line buffer: take the bytes and
// wipe them there.
static gpg_error_t receivePin(void* opaque, const void* buffer, size_t length) {
  PinSink* sink = static_cast<PinSink*>(opaque);
  if (sink->tooLong || sink->length + length >= sink->size) {
    sink->tooLong = true;
  } else {
    memcpy(sink->pin + sink->length, buffer, length);
    sink->length += length;
    sink->pin[sink->length] = '\0';
  }
  Helm_Wipe(const_cast<void*>(buffer), length);
  return 0;
}

HelmDialogAnswer HelmDialog_GetPin(HelmDialog* dialog, const char* title, const std::string& description,
                                   const char* prompt, const std::string& error, char* pin, size_t pinSize,
                                   bool* tooLong) {
  *tooLong = false;
  if (pinSize == 0) return HELM_DIALOG_UNAVAILABLE;
  Helm_Wipe(pin, pinSize);
  if (dialog == nullptr || dialog->dead || dialog->messageShown) return HELM_DIALOG_UNAVAILABLE;
  if (!prepare(dialog, title, description) || !setUp(dialog, "SETPROMPT " + HelmDialog_Escape(passed(prompt), 100)) ||
      (!error.empty() && !setUp(dialog, "SETERROR " + HelmDialog_Escape(passed(error.c_str()), HELM_DIALOG_MAX_ARGUMENT))) ||
      !button(dialog, "SETOK", HelmText_Translate("_OK").c_str()) ||
      !button(dialog, "SETCANCEL", HelmText_Translate("_Cancel").c_str())) {
    return HELM_DIALOG_UNAVAILABLE;
  }
  PinSink sink = {pin, pinSize, 0, false};
  arm(dialog, dialog->timeoutSeconds + HELM_DIALOG_GRACE_SECONDS);
  assuan_begin_confidential(dialog->context);
  gpg_error_t err = dialog->dead ? gpg_error(GPG_ERR_EOF)
                                 : assuan_transact(dialog->context, "GETPIN", receivePin, &sink, nullptr, nullptr,
                                                   nullptr, nullptr);
  assuan_end_confidential(dialog->context);
  bool fired = disarm(dialog);
  HelmDialogAnswer answer = judge(dialog, err, fired);
  if (answer != HELM_DIALOG_OK || sink.tooLong) Helm_Wipe(pin, pinSize);
  *tooLong = answer == HELM_DIALOG_OK && sink.tooLong;
  return answer;
}

const std::string& HelmDialog_Failure(const HelmDialog* dialog) { return dialog->failure; }

bool HelmDialog_ShowMessage(HelmDialog* dialog, const char* title, const std::string& description) {
  if (dialog == nullptr || dialog->dead || dialog->messageShown) return false;
  if (!prepare(dialog, title, description) || !button(dialog, "SETOK", HelmText_Translate("_OK").c_str())) return false;
  // Not waited for: pinentry answers when the user presses OK, which is not
  // what the caller waits for. HelmDialog_Close ends it.
  if (assuan_write_line(dialog->context, "MESSAGE") != 0) {
    dialog->dead = true;
    return false;
  }
  dialog->messageShown = true;
  arm(dialog, dialog->timeoutSeconds + HELM_DIALOG_GRACE_SECONDS);
  return true;
}

// Waits for the child for up to milliseconds; true when it was reaped (or
// is not ours to reap).
static bool reap(pid_t pid, int milliseconds) {
  for (int waited = 0;; waited += 20) {
    pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (waited >= milliseconds) return false;
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

void HelmDialog_Close(HelmDialog* dialog) {
  if (dialog == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(dialog->mutex);
    dialog->stop = true;
    dialog->wake.notify_all();
  }
  dialog->keeper.join();
  pid_t pid = *dialog->childPid;
  // A message on the screen keeps pinentry from reading its BYE.
  if (dialog->messageShown || dialog->dead) signalChild(pid, SIGTERM);
  if (dialog->context != nullptr) assuan_release(dialog->context);  // BYE, pipes closed
  if (pid > 0 && !reap(pid, 3000)) {
    signalChild(pid, SIGTERM);
    if (!reap(pid, 2000)) {
      signalChild(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  munmap(const_cast<pid_t*>(dialog->childPid), sizeof(pid_t));
  HelmLock_Release(dialog->lock);
  delete dialog;
}
