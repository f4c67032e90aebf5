// startup.cpp -- start-up, the main-thread loop, KestrovanFinal and shutdown.
#include "service/service.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/platform.h"
#include "session/session.h"
#include "support/support.h"

#ifndef KESTROVAN_GIT_TIME
#define KESTROVAN_GIT_TIME "unknown"
#endif

std::atomic<bool> KestrovanClose{false};

static int exitStatus = 0;

static const char* const kPortSetting = "port=56459 56559 56659";
static const char* const kServiceVersion = "3.0.23.0721";
static const char* const kEdition = "NORTA";
static const char* const kCompileTime = __DATE__ " " __TIME__;
static const char* const kSeparator =
    "===============================================================================";  // 79

// A stop asked for from the terminal or by the system. The handler only sets
// the flag; the main-thread loop does the orderly stop.
static volatile sig_atomic_t stopSignal = 0;

static void onStopSignal(int number) {
  stopSignal = number;
}

static void installSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

class KestrovanStartupError : public std::runtime_error {
 public:
  explicit KestrovanStartupError(const char* message) : std::runtime_error(message) {}
};

struct KeyRelease {
  void operator()(char* key) const { freeKey(key); }
};

void KestrovanFinal() {
  KestrovanSession_Final();
  printfColorLine("[KestrovanFinal] ", "Release adapters success");
  KestrovanClose.store(true, std::memory_order_seq_cst);
  cv_finalize();
  printfColorLine("[KestrovanFinal] ", "Ready to suicide");
}

int getUUID(std::string& out) {
  char id[64];
  if (KestrovanPlatform_machineId(id, sizeof(id)))
    out = id;
  return 0;
}

static void mainThreadLoop() {
  while (!KestrovanClose.load()) {
    if (stopSignal != 0) {
      printfColorWarningLine("Stop signal: ", strsignal(stopSignal));
      KestrovanFinal();
      break;
    }
    if (!KestrovanMainThread_poll(KestrovanSession_Process))
      cv_sleep(KESTROVAN_MAIN_THREAD_POLL_MS);
  }
}

int KestrovanService_main() {
  // The trace is the service's console: one line at a time, even into a pipe
  // (tests and supervisors read it live; each line is one write).
  setvbuf(stdout, nullptr, _IOLBF, 0);
  installSignals();

  // The folder adapters are copied into; the session module keeps its own
  // copy of it (KestrovanSession_Init).
  char copyFolder[4096] = {0};
  char* executePath = nullptr;
  unsigned short ports[3] = {0, 0, 0};
  struct MHD_Daemon* daemons[3][2] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};

  try {
    char* copyPath = getCopyPath("NORTAKestrovan");
    if (copyPath != nullptr)
      ArrayCopyFree(copyFolder, sizeof(copyFolder), copyPath);
    if (copyFolder[0] == '\0') {
      exitStatus = 2;
      throw KestrovanStartupError("Extract copy path: Failed");
    }

    setLog("NORTAKestrovan", "NORTAKestrovan");

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

    executePath = getExecutePath();
    if (checkNoValue(executePath)) {
      exitStatus = 2;
      throw KestrovanStartupError("Extract execute path: Failed");
    }
    printfColorLine("CopyPath: ", copyFolder);
    printfColorLine("Execute path: ", executePath);

    if (sscanf(kPortSetting, "port=%hu %hu %hu", &ports[0], &ports[1], &ports[2]) != 3)
      throw KestrovanStartupError("Port setting: Failed");
    {
      char text[32];
      snprintf(text, sizeof(text), "%hu %hu %hu", ports[0], ports[1], ports[2]);
      printfColorLine("Support port: ", text);
    }

    KestrovanSession_Init(copyFolder, executePath);
    KestrovanQueue_initQueue();
    // Copies a crashed run left behind are of no use to anyone.
    removeCopyLeftovers(copyFolder);
    printfColorLine("Kestrovan Version: ", kServiceVersion);

    const char* home = getenv("HOME");
    std::string certPath = home != nullptr ? std::string(home) + "/NORTAKestrovan" + "/data.dat" : std::string();
    printfColorLine("Cert filepath: ", certPath.c_str());

    std::optional<std::string> cert;
    if (home != nullptr)
      cert = KestrovanParseCert(certPath.c_str());
    if (!cert) {
      sendIPCMsg("NORTAKestrovan.exe", "NORTAKestrovanMonitor.exe", "KestrovanInstruction_Stop", "");
      exitStatus = 2;
      throw KestrovanStartupError("getCert: Failed");
    }

    std::unique_ptr<char, KeyRelease> key(getKey());
    if (!key) {
      exitStatus = 1;
      throw KestrovanStartupError("getKey: Failed");
    }

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

    int started = 0;
    for (int p = 0; p < 3; p++) {
      v4.sin_port = htons(ports[p]);
      daemons[p][0] = StartDaemon(KESTROVAN_LISTENER_FLAGS_IPV4, (const struct sockaddr*)&v4, cert->c_str(),
                                  key.get(), priorities.c_str());
      if (daemons[p][0] != nullptr)
        started++;
      else
        KestrovanPeers_reportHolder((const struct sockaddr*)&v4);
      v6.sin6_port = htons(ports[p]);
      daemons[p][1] = StartDaemon(KESTROVAN_LISTENER_FLAGS_IPV6, (const struct sockaddr*)&v6, cert->c_str(),
                                  key.get(), priorities.c_str());
      if (daemons[p][1] != nullptr)
        started++;
      else
        KestrovanPeers_reportHolder((const struct sockaddr*)&v6);
    }
    KestrovanPeers_reportHeldPorts();

    printfColorLine("", "HTTPS Mode");
    key.reset();
    cert.reset();
    certPath.clear();

    if (started == 0) {
      exitStatus = 1;
      throw KestrovanStartupError("NORTAKestrovan initialization: Failed");
    }
    printfColorLine("NORTAKestrovan initialization: ", "Success");

    printfColor(KESTROVAN_COLOR_BOLD, kSeparator);
    printfColor(KESTROVAN_COLOR_PLAIN, "\n\n", 1);

    mainThreadLoop();
  } catch (const std::exception& error) {
    printfColorErrorLine("Exception: ", error.what());
    KestrovanFinal();
  }

  free(executePath);
  stopMessageReceiver();
  for (int p = 0; p < 3; p++) {
    StopDaemon(daemons[p][0]);
    StopDaemon(daemons[p][1]);
    printfColorLine("Releasing port: ", (int)ports[p]);
  }
  // Listeners are stopped: nothing can start a call any more.
  KestrovanMainThread_reset();
  printfColorLine("NORTAKestrovan", " terminated.");
  return exitStatus;
}
