// SPDX-License-Identifier: Apache-2.0
// hardening.h -- what the hardening tests share on top of the service
// harness: an installation with extra adapter folders, the count of
// dispatches the running service entered, and small request helpers.
#ifndef KESTROVAN_TESTS_HARDENING_HARDENING_H
#define KESTROVAN_TESTS_HARDENING_HARDENING_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace kh {

extern const char* const kPathId;  // the path table's one row

// The echo that opens a session on the table's adapter.
std::string echoJson(const std::string& extra = "");

// An installation (kt::Installation) plus adapters copied to
// bin/<folder>/<name>.so, and a running service with its console.
struct Running {
  std::unique_ptr<kt::Installation> installation;
  kt::ServiceProcess service;
  bool ok = false;

  // extras: {"<folder>/<name>.so", built library path}.
  explicit Running(const std::string& adapter = KESTROVAN_TEST_ADAPTER,
                   const std::vector<std::pair<std::string, std::string>>& extras = {}, bool start = true);
  bool start();

  kt::HttpAnswer post(const std::string& json, const std::string& origin,
                      const std::vector<std::string>& headers = {},
                      const std::string& url = "https://127.0.0.1:56459/");
  // Every request that reached KestrovanSession_Process traced the map it
  // was given at its start; the count of those lines is the count of
  // dispatches entered. Read from the console, so nothing in the shipped
  // binary is there for tests.
  size_t dispatches() { return service.count("= DISPLAY PARAMETER ===== start ====="); }
  // The console reaches the test through a pipe, a little after the answer:
  // the count once it has stayed the same for half a second.
  size_t settledDispatches();
};

// Ends a suite's shared service: stops it when it runs, expecting exit
// status 0 (a test failure otherwise, with the console's end), and deletes it.
void endShared(Running*& running);

// The decoded answer map; empty when the body is not one.
std::map<std::string, std::string> values(const kt::HttpAnswer& answer);
std::string result(const kt::HttpAnswer& answer);

// The last bytes of the console, for failure messages.
std::string tail(kt::ServiceProcess& service, size_t bytes = 6000);

// Gives this process (and the services it starts) a /tmp of its own: a new
// mount namespace with a fresh tmpfs there. The tests that plant, replace or
// delete /tmp/NORTAKestrovan call it before any thread exists (from a static
// initialiser), so other services on the machine never see what they do.
// False (and nothing changed) when not root or namespaces are unavailable;
// those tests then touch the real /tmp.
bool privateTmp();

// Resident memory (kB) and open descriptors of a process.
long residentKb(pid_t pid);
int openFds(pid_t pid);
// Waits until the process holds at most limit descriptors; returns the last count.
int settleFds(pid_t pid, int limit, int seconds = 15);

}  // namespace kh

#include <gnutls/gnutls.h>

namespace kh {

// A TLS client over a plain socket, for requests libcurl would not send
// (missing or repeated headers, bodies cut off, one byte at a time) and for
// ending a connection in the ways a broken client does.
class RawTls {
 public:
  RawTls() = default;
  ~RawTls();
  RawTls(const RawTls&) = delete;
  RawTls& operator=(const RawTls&) = delete;
  // Connects to 127.0.0.1 (or ::1) and completes the handshake, checking the
  // service's certificate against caFile.
  bool connect(const std::string& caFile, unsigned short port, bool ipv6 = false);
  bool send(const std::string& bytes);
  // Everything until the service closes or seconds pass without a byte.
  std::string receive(int seconds = 20);
  // True once the service ended the connection (end of stream, an alert or
  // a reset) within milliseconds; false while it stays open. Bytes that
  // arrive meanwhile are dropped.
  bool closedByPeer(int milliseconds);
  void closeNotify();  // TLS close_notify, then shutdown(SHUT_WR)
  void close();        // plain close, no TLS goodbye
  void reset();        // SO_LINGER 0: the peer sees a reset
 private:
  int fd_ = -1;
  gnutls_session_t session_ = nullptr;
  gnutls_certificate_credentials_t credentials_ = nullptr;
};

// The raw text of a form POST of json (Content-Length from the body).
std::string rawPost(const std::string& json, const std::vector<std::string>& headers);

}  // namespace kh

#endif
