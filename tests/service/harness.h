// SPDX-License-Identifier: Apache-2.0
// harness.h -- drives the real NORTAKestrovan as a child process: a folder
// laid out like an installation (the executable, an adapter under NORTA/, a
// HOME that the provisioning command filled), the child's console captured
// line by line, and real HTTPS requests made with libcurl.
#ifndef KESTROVAN_TESTS_SERVICE_HARNESS_H
#define KESTROVAN_TESTS_SERVICE_HARNESS_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace kt {

extern const unsigned short kPorts[3];

std::string base64(const std::string& bytes);
// False when text is not canonical Base64.
bool unbase64(const std::string& text, std::string* bytes);

// A fresh folder under /tmp, removed with everything in it.
struct TempFolder {
  std::string path;
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
};

bool readFile(const std::string& path, std::string* text);
// Voluntary and involuntary context switches of every thread of process
// pid so far (from /proc/PID/task/*/status); -1 when unreadable.
long long contextSwitches(pid_t pid);
bool writeFile(const std::string& path, const std::string& text, int mode = 0600);
bool copyFile(const std::string& from, const std::string& to, int mode);

// True once all six service addresses can be bound, false after seconds.
// Other copies of the service on this machine (another build's tests, a
// running instance) would otherwise make a start fail.
bool waitForFreePorts(int seconds);

// Children get this process's environment without XDG_RUNTIME_DIR.
// Runs argv with HOME set to home (when not empty) and waits for it. Returns
// its exit status (-1 when it did not exit normally); output gets stdout and
// stderr together.
int runProgram(const std::vector<std::string>& argv, const std::string& home, std::string* output);

// root/bin/NORTAKestrovan (a copy of exe), root/bin/NORTA/HelmPKICryptAdapter.so
// (a copy of adapter, when given) and root/home, provisioned when asked.
// copyFolder is where the service puts adapter copies when started by
// ServiceProcess (no XDG_RUNTIME_DIR): the user's cache folder.
struct Installation {
  TempFolder root;
  std::string bin, exe, home, certFile, caFile, copyFolder;
  explicit Installation(const std::string& serviceExe, const std::string& adapter = "", bool provision = true);
  bool ok = false;  // the layout (and the provisioning, when asked) worked
};

// The child's console, with colour sequences removed.
class ServiceProcess {
 public:
  ~ServiceProcess();
  // Starts exe; first waits (up to two minutes) until no other program
  // holds a service port, unless the test holds them on purpose.
  // extraEnvironment: "NAME=value" entries added to the child's environment.
  bool start(const std::string& exe, const std::string& home, bool waitForFreePorts = true,
             const std::vector<std::string>& extraEnvironment = {});
  // Starts any program the same way (its output captured, HOME as given when
  // not empty), without waiting for the ports.
  bool run(const std::vector<std::string>& argv, const std::string& home,
           const std::vector<std::string>& extraEnvironment = {});
  // Waits until the console holds text (at least times times); false on time-out.
  bool waitFor(const std::string& text, int seconds, size_t times = 1);
  // Waits for the child to end by itself; returns the exit status, -1 when
  // it was killed by a signal, -2 on time-out.
  int waitExit(int seconds);
  // SIGTERM, then waitExit.
  int stop(int seconds = 30);
  std::string output();
  size_t count(const std::string& text);
  pid_t pid() const { return pid_; }

 private:
  void readLoop(int fd);
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string output_;
  bool closed_ = false;
};

struct HttpRequest {
  std::string url = "https://127.0.0.1:56459/";
  std::string method = "POST";
  std::string body;
  bool hasBody = true;
  std::vector<std::string> headers;  // "Name: value"
  std::string caFile;
  long timeoutSeconds = 60;
};

struct HttpAnswer {
  int curlCode = -1;  // CURLcode; 0 when an answer arrived
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  std::string body;
  bool has(const std::string& name) const;
  std::string get(const std::string& name) const;
  int indexOf(const std::string& name) const;  // -1 when absent
};

HttpAnswer httpRequest(const HttpRequest& request);

// The form body a page sends: "Parameter=" and the URL-encoded Base64 JSON.
std::string parameterBody(const std::string& json);

// A POST of json with the given origin and extra headers.
HttpAnswer post(const std::string& caFile, const std::string& json, const std::string& origin,
                const std::vector<std::string>& headers = {}, const std::string& url = "https://127.0.0.1:56459/");

// Sends bytes as they are over a TLS connection to 127.0.0.1:port (the
// server checked against caFile) and returns everything the service sent
// back until it closed the connection or stayed silent for idleSeconds.
// connected is false when no TLS session could be made.
std::string rawTls(const std::string& caFile, unsigned short port, const std::string& bytes, int idleSeconds,
                   bool* connected);

// Parses an answer body {"key": "base64", ...}; false when it is not exactly
// that form or a value is not Base64. Keys keep their order in keys.
bool decodeAnswer(const std::string& body, std::map<std::string, std::string>* values,
                  std::vector<std::string>* keys = nullptr);

// Finds a console line's value: the text after "label" up to the line end.
std::string valueAfter(const std::string& output, const std::string& label);

// A TCP socket bound to the loopback address of the family on port, with
// SO_REUSEADDR (earlier tests leave connections in TIME_WAIT) and, for IPv6,
// IPV6_V6ONLY; -1 when the port cannot be bound. The caller closes it.
int bindLoopback(bool ipv6, unsigned short port);
// A TCP socket connected to the loopback address of the family on port; -1
// when it cannot connect. The caller closes it.
int connectLoopback(bool ipv6, unsigned short port);

}  // namespace kt

#endif
