// SPDX-License-Identifier: Apache-2.0
// startup.cpp -- start-up, the main-thread loop, KestrovanFinal and shutdown.
#include "service/startup.h"

#include "service/console.h"
#include "service/intake.h"
#include "service/key.h"
#include "service/listener.h"
#include "service/mainthread.h"
#include "service/peers.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/platform.h"
#include "service/ports.h"
#include "service/user_folder.h"
#include "service/activation.h"
#include "session/session.h"
#include "support/support.h"

#ifndef KESTROVAN_GIT_TIME
#define KESTROVAN_GIT_TIME "unknown"
#endif

static std::atomic<int> exitStatus{0};

static const char* const kPortSetting = KESTROVAN_PORT_SETTING;
static const char* const kEdition = "NORTA";
static const char* const kCompileTime = __DATE__ " " __TIME__;
// Shutdown. Stop signals are taken by a thread of their own (sigwait), not by
// the main-thread loop, which may be inside an adapter call; the stop watch
// then stops the listeners from accepting, starts KestrovanFinal and gives
// it and the main thread KESTROVAN_FINAL_GRACE_MS + KESTROVAN_SHUTDOWN_LIMIT_MS
// to release the adapters, stop the listeners and end (after a
// KestrovanFinal from elsewhere, KESTROVAN_SHUTDOWN_LIMIT_MS). Past that (an
// adapter call holds the main thread, or a listener thread that stopping
// must wait for) it names the calls left running, prints the end lines and
// ends the process with the exit status.
//
// stopLock guards the fields below and the listener handles; the end lines
// are printed under it, so that the main thread and the stop watch never
// both print them.
//
// Both live until the process ends: the signal thread is never joined, so
// they must outlast the static destructors that run after main returns.
static std::mutex& stopLock = *new std::mutex;
static std::condition_variable& stopChanged = *new std::condition_variable;
static int stopSignalNumber = 0;   // the signal taken, 0 before any
static bool finalDone = false;     // KestrovanFinal has run
static bool shutdownDone = false;  // the main thread printed the end lines
static bool endingNow = false;     // the stop watch is ending the process
static int portsReleased = 0;      // "Releasing port: " lines printed
static unsigned short ports[3] = {0, 0, 0};
static struct MHD_Daemon* daemons[3][2] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};
// The listening sockets handed back by quiescing; closed once their
// listener is stopped.
static int listenSockets[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};

static void stopSignalSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

// Blocked in every thread (the listeners inherit the mask), so that only
// the signal thread takes them.
static void installSignals() {
  sigset_t set;
  stopSignalSet(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

static void signalThread() {
  sigset_t set;
  stopSignalSet(&set);
  for (;;) {
    int number = 0;
    if (sigwait(&set, &number) != 0)
      continue;
    std::lock_guard<std::mutex> guard(stopLock);
    if (stopSignalNumber != 0)
      continue;  // already stopping
    stopSignalNumber = number;
    stopChanged.notify_all();
  }
}

// Under stopLock. Listeners stop accepting at once: a quiesced listener no
// longer watches its socket, and the socket shut down refuses new
// connections while connections already open are still answered.
static void quiesceListenersLocked() {
  for (int p = 0; p < 3; p++) {
    for (int f = 0; f < 2; f++) {
      if (daemons[p][f] == nullptr || listenSockets[p][f] >= 0)
        continue;
      MHD_socket socket = MHD_quiesce_daemon(daemons[p][f]);
      if (socket == MHD_INVALID_SOCKET)
        continue;
      if (!KestrovanActivation_handedOver(socket))  // the manager's too: its waiting connections start us again
        shutdown(socket, SHUT_RDWR);
      listenSockets[p][f] = socket;
    }
  }
}

// Under stopLock. The end lines not printed yet; false when the stop watch
// is ending the process and prints them itself.
static bool printReleasedPortsLocked(int upTo) {
  if (endingNow)
    return false;
  for (; portsReleased < upTo; portsReleased++)
    printfColorLine("Releasing port: ", (int)ports[portsReleased]);
  return true;
}

// The stop watch, past the limit: nothing more is waited for.
[[noreturn]] static void endNow() {
  std::unique_lock<std::mutex> guard(stopLock);
  endingNow = true;
  guard.unlock();
  printfColorWarningLine("Shutdown time limit: ", "Passed");
  KestrovanSession_reportRunning();
  guard.lock();
  for (; portsReleased < 3; portsReleased++)
    printfColorLine("Releasing port: ", (int)ports[portsReleased]);
  printfColorLine("NORTAKestrovan", " terminated.");
  KestrovanTrace_flush();
  fflush(stderr);
  _exit(exitStatus.load());
}

static void stopWatch() {
  std::unique_lock<std::mutex> guard(stopLock);
  stopChanged.wait(guard, [] { return stopSignalNumber != 0 || finalDone || shutdownDone; });
  if (shutdownDone)
    return;
  auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(KESTROVAN_SHUTDOWN_LIMIT_MS);
  std::thread final;
  if (!finalDone) {
    // KestrovanFinal runs on a thread of its own, so that a release call
    // that does not return cannot hold the stop watch too.
    int number = stopSignalNumber;
    quiesceListenersLocked();
    guard.unlock();
    printfColorWarningLine("Stop signal: ", strsignal(number));
    final = std::thread(KestrovanFinal);
    guard.lock();
    limit += std::chrono::milliseconds(KESTROVAN_FINAL_GRACE_MS);
  }
  if (stopChanged.wait_until(guard, limit, [] { return shutdownDone; })) {
    guard.unlock();
    if (final.joinable())
      final.join();
    return;
  }
  guard.unlock();
  endNow();
}

struct KeyRelease {
  void operator()(char* key) const { freeKey(key); }
};

void KestrovanFinal() {
  // A dialog still up ends now, so that releasing its adapter need not wait
  // for it.
  KestrovanMainThread_stopping();
  KestrovanSession_Final();
  printfColorLine("[KestrovanFinal] ", "Release adapters success");
  KestrovanClose.store(true, std::memory_order_seq_cst);
  cv_finalize();
  printfColorLine("[KestrovanFinal] ", "Ready to suicide");
  {
    std::lock_guard<std::mutex> guard(stopLock);
    finalDone = true;
  }
  stopChanged.notify_all();
}

int getUUID(std::string& out) {
  char id[64];
  if (KestrovanPlatform_machineId(id, sizeof(id)))
    out = id;
  return 0;
}

static void mainThreadLoop() {
  while (!KestrovanClose.load()) {
    if (!KestrovanMainThread_poll(KestrovanSession_Process))
      KestrovanMainThread_wait(-1);
  }
}

// The folders the service works in, the log and the banner. Null when they
// are known; otherwise the failure line's text (exitStatus set).
static const char* prepareFolders(char* copyFolder, char** executePath) {
  char* copyPath = getCopyPath("NORTAKestrovan");
  if (copyPath != nullptr)
    ArrayCopyFree(copyFolder, KESTROVAN_PATH_SIZE, copyPath);
  if (copyFolder[0] == '\0') {
    exitStatus = 2;
    return "Extract copy path: Failed";
  }

  setLog(KESTROVAN_USER_FOLDER_NAME, KESTROVAN_USER_FOLDER_NAME);

  std::string uuid;
  getUUID(uuid);

  printfColorLine("*************************************Kestrovan*********************************", "");
  printfColorLine("Kestrovan uuid: ", uuid.c_str());
  printfColor(KESTROVAN_COLOR_PLAIN, "\n", 1);
  printfColorLine("Execute setting: ", kEdition);
  printfColorLine("Compile time: ", kCompileTime);
  printfColorLine("Git time: ", KESTROVAN_GIT_TIME);

  setStop(KestrovanFinal);
  setRestart(KestrovanFinal);
  setFinal(KestrovanFinal);

  *executePath = getExecutePath();
  if (checkNoValue(*executePath)) {
    exitStatus = 2;
    return "Extract execute path: Failed";
  }
  printfColorLine("CopyPath: ", copyFolder);
  printfColorLine("Execute path: ", *executePath);
  return nullptr;
}

// The three ports from the port setting, kept for the end lines.
static const char* readPorts(unsigned short parsed[3]) {
  if (sscanf(kPortSetting, "port=%hu %hu %hu", &parsed[0], &parsed[1], &parsed[2]) != 3)
    return "Port setting: Failed";
  {
    std::lock_guard<std::mutex> guard(stopLock);
    memcpy(ports, parsed, 3 * sizeof(ports[0]));
  }
  char text[32];
  snprintf(text, sizeof(text), "%hu %hu %hu", parsed[0], parsed[1], parsed[2]);
  printfColorLine("Support port: ", text);
  return nullptr;
}

// The session module, its queue and the copy folder cleaned of a crashed
// run's copies.
static void startSessions(const char* copyFolder, const char* executePath) {
  KestrovanSession_Init(copyFolder, executePath);
  KestrovanQueue_initQueue();
  // Copies a crashed run left behind are of no use to anyone.
  removeCopyLeftovers(copyFolder);
  printfColorLine("Kestrovan Version: ", KESTROVAN_SERVER_VERSION);
}

// The certificate and the server key for it, from the user's folder. Null
// when both are there; otherwise the failure line's text (exitStatus set).
static const char* readCertificateAndKey(std::optional<std::string>* cert, std::unique_ptr<char, KeyRelease>* key) {
  const char* home = getenv("HOME");
  // The user's folder: the certificate and the user's own key file.
  std::string folder = home != nullptr ? std::string(home) + "/" KESTROVAN_USER_FOLDER_NAME : std::string();
  std::string certPath = home != nullptr ? folder + "/" KESTROVAN_CERT_FILE_NAME : std::string();
  printfColorLine("Cert filepath: ", certPath.c_str());

  if (home != nullptr)
    *cert = KestrovanParseCert(certPath.c_str());
  if (!*cert) {
    sendIPCMsg("NORTAKestrovan.exe", "NORTAKestrovanMonitor.exe", "KestrovanInstruction_Stop", "");
    exitStatus = 2;
    return "getCert: Failed";
  }

  key->reset(getKey(folder.c_str(), **cert));
  if (!*key) {
    exitStatus = 1;
    return "getKey: Failed";
  }
  return nullptr;
}

// A listener on each port for each loopback address; the number started.
// MHD_USE_ITC: a listener can be told to stop accepting (quiesced) at once,
// even while its thread is inside an adapter call.
static int startListeners(const unsigned short parsed[3], const char* cert, const char* key) {
  std::string priorities = "NORMAL:!VERS-TLS-ALL:!SHA1";
  priorities += ":+VERS-TLS1.2";
  priorities += ":+VERS-TLS1.3";

  // Recorded before the first listener starts, so that no request is ever
  // compared with a user that was not read yet.
  KestrovanConsole_record();

  struct sockaddr_in v4;
  memset(&v4, 0, sizeof(v4));
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct sockaddr_in6 v6;
  memset(&v6, 0, sizeof(v6));
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;

  KestrovanActivation_take();
  KestrovanMainThread_init();
  KestrovanListener_Init();
  int started = 0;
  for (int p = 0; p < 3; p++) {
    v4.sin_port = htons(parsed[p]);
    v6.sin6_port = htons(parsed[p]);
    const struct sockaddr* addresses[2] = {(const struct sockaddr*)&v4, (const struct sockaddr*)&v6};
    const unsigned int families[2] = {KESTROVAN_LISTENER_FLAGS_IPV4, KESTROVAN_LISTENER_FLAGS_IPV6};
    struct MHD_Daemon* listening[2] = {nullptr, nullptr};
    for (int f = 0; f < 2; f++) {
      listening[f] = StartDaemon(families[f] | MHD_USE_ITC, addresses[f], cert, key, priorities.c_str(),
                                 KestrovanActivation_socketFor(addresses[f]));
      if (listening[f] != nullptr)
        started++;
      else
        KestrovanPeers_reportHolder(addresses[f]);
    }
    std::lock_guard<std::mutex> guard(stopLock);
    daemons[p][0] = listening[0];
    daemons[p][1] = listening[1];
  }
  KestrovanPeers_reportHeldPorts();
  return started;
}

// Reads the folders, the ports, the certificate and the key and starts the
// listeners. Returns null when at least one listener serves; otherwise the
// text of the failure line (with exitStatus set where a failure has its own
// status), after which nothing else of the start runs.
static const char* startService(char* copyFolder, char** executePath) {
  const char* failure = prepareFolders(copyFolder, executePath);
  if (failure != nullptr)
    return failure;
  unsigned short parsed[3] = {0, 0, 0};
  if ((failure = readPorts(parsed)) != nullptr)
    return failure;
  startSessions(copyFolder, *executePath);

  std::optional<std::string> cert;
  std::unique_ptr<char, KeyRelease> key;
  if ((failure = readCertificateAndKey(&cert, &key)) != nullptr)
    return failure;

  int started = startListeners(parsed, cert->c_str(), key.get());

  printfColorLine("", "HTTPS Mode");
  key.reset();
  cert.reset();

  if (started == 0) {
    exitStatus = 1;
    return "NORTAKestrovan initialization: Failed";
  }
  printfColorLine("NORTAKestrovan initialization: ", "Success");
  KestrovanActivation_startQuietWatch();

  printfSeparator();
  return nullptr;
}

int KestrovanService_main() {
  // The trace is the service's console: one line at a time, even into a pipe
  // (tests and supervisors read it live; each line is one write).
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Written without waiting: a console nobody reads never holds up a request.
  KestrovanTrace_useConsole();
  // A request that finds the console user changed ends the service.
  KestrovanIntake_setFinalHook(KestrovanFinal);
  // Before any other thread exists, so that every thread inherits the mask.
  installSignals();
  std::thread(signalThread).detach();
  std::thread watch(stopWatch);

  // The folder adapters are copied into; the session module keeps its own
  // copy of it (KestrovanSession_Init).
  char copyFolder[KESTROVAN_PATH_SIZE] = {0};
  char* executePath = nullptr;

  const char* failure = nullptr;
  char thrown[128] = "";
  try {
    failure = startService(copyFolder, &executePath);
    if (failure == nullptr)
      mainThreadLoop();
  } catch (const std::exception& error) {
    // Only the standard library throws here (a failed allocation of its
    // strings): that ends the service like a start that failed.
    ArrayCopy(thrown, sizeof(thrown), error.what());
    failure = thrown;
  }
  // A failed start is reported with the console's "Exception: " wording.
  if (failure != nullptr) {
    printfColorErrorLine("Exception: ", failure);
    KestrovanFinal();
  }

  free(executePath);
  stopMessageReceiver();
  {
    // KestrovanFinal's lines come before the end lines, wherever it runs.
    std::unique_lock<std::mutex> guard(stopLock);
    stopChanged.wait(guard, [] { return finalDone; });
    quiesceListenersLocked();
  }
  // Suspended requests are answered first: a listener is never stopped
  // with a connection the waiter thread may still resume.
  KestrovanMainThread_releaseWaits();
  // Stopping a listener waits for its thread: one inside an adapter call
  // holds this thread here, and the stop watch ends the process past its
  // limit.
  for (int p = 0; p < 3; p++) {
    for (int f = 0; f < 2; f++) {
      struct MHD_Daemon* daemon = nullptr;
      int socket = -1;
      {
        std::lock_guard<std::mutex> guard(stopLock);
        daemon = daemons[p][f];
        daemons[p][f] = nullptr;
      }
      if (daemon != nullptr)
        MHD_stop_daemon(daemon);
      {
        std::lock_guard<std::mutex> guard(stopLock);
        socket = listenSockets[p][f];
        listenSockets[p][f] = -1;
      }
      if (socket >= 0)
        close(socket);
    }
    std::unique_lock<std::mutex> guard(stopLock);
    if (!printReleasedPortsLocked(p + 1))
      stopChanged.wait(guard, [] { return false; });  // the stop watch ends the process
  }
  KestrovanListener_Final();
  // Listeners are stopped: nothing can start a call any more.
  KestrovanMainThread_reset();
  {
    std::unique_lock<std::mutex> guard(stopLock);
    if (endingNow)
      stopChanged.wait(guard, [] { return false; });
    shutdownDone = true;
    printfColorLine("NORTAKestrovan", " terminated.");
  }
  stopChanged.notify_all();
  watch.join();
  KestrovanTrace_flush();
  return exitStatus.load();
}
