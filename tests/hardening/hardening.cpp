// SPDX-License-Identifier: Apache-2.0
// hardening.cpp -- see hardening.h.
#include "hardening.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kh {

const char* const kPathId = "7E41A0C2D95B4F3E8A61C07B2D9F54E1";

std::string echoJson(const std::string& extra) {
  return std::string(R"({"FunctionName":"KestrovanEcho","SessionId":"","PathID":")") + kPathId +
         R"(","minServerVersion":"3.0.23.0721")" + extra + "}";
}

Running::Running(const std::string& adapter, const std::vector<std::pair<std::string, std::string>>& extras,
                 bool start) {
  installation = std::make_unique<kt::Installation>(KESTROVAN_SERVICE_EXE, adapter);
  if (!installation->ok)
    return;
  for (const auto& extra : extras) {
    std::string target = installation->bin + "/" + extra.first;
    std::string folder = target.substr(0, target.rfind('/'));
    mkdir(folder.c_str(), 0700);
    if (!kt::copyFile(extra.second, target, 0700))
      return;
  }
  ok = !start || this->start();
}

bool Running::start() {
  return service.start(installation->exe, installation->home) &&
         service.waitFor("NORTAKestrovan initialization: Success", 60);
}

kt::HttpAnswer Running::post(const std::string& json, const std::string& origin,
                             const std::vector<std::string>& headers, const std::string& url) {
  return kt::post(installation->caFile, json, origin, headers, url);
}

size_t Running::settledDispatches() {
  size_t count = dispatches();
  for (int i = 0; i < 100; i++) {
    usleep(500000);
    size_t now = dispatches();
    if (now == count)
      break;
    count = now;
  }
  return count;
}

void endShared(Running*& running) {
  if (running != nullptr && running->ok) {
    EXPECT_EQ(running->service.stop(), 0) << tail(running->service);
  }
  delete running;
  running = nullptr;
}

std::map<std::string, std::string> values(const kt::HttpAnswer& answer) {
  std::map<std::string, std::string> out;
  if (!kt::decodeAnswer(answer.body, &out))
    out.clear();
  return out;
}

std::string result(const kt::HttpAnswer& answer) {
  std::map<std::string, std::string> out;
  if (!kt::decodeAnswer(answer.body, &out))
    return "<not a map: " + answer.body.substr(0, 200) + ">";
  return out.count("result") ? out["result"] : "<no result>";
}

std::string tail(kt::ServiceProcess& service, size_t bytes) {
  std::string output = service.output();
  return output.size() > bytes ? output.substr(output.size() - bytes) : output;
}

bool privateTmp() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0)
    return false;
  // A checkout under /tmp (CI clones may live there) stays visible: its
  // top folder is bound back into the fresh /tmp.
  std::string top;
  const char* exe = KESTROVAN_SERVICE_EXE;
  if (strncmp(exe, "/tmp/", 5) == 0) {
    const char* end = strchr(exe + 5, '/');
    top = end != nullptr ? std::string(exe, end - exe) : std::string(exe);
  }
  int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    fprintf(stderr, "private /tmp: %s\n", strerror(errno));
    if (oldTmp >= 0)
      close(oldTmp);
    return false;
  }
  bool ok = true;
  if (!top.empty() && oldTmp >= 0) {
    std::string source = "/proc/self/fd/" + std::to_string(oldTmp) + top.substr(4);
    ok = mkdir(top.c_str(), 0755) == 0 && mount(source.c_str(), top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    if (!ok)
      fprintf(stderr, "private /tmp: %s: %s\n", top.c_str(), strerror(errno));
  }
  if (oldTmp >= 0)
    close(oldTmp);
  return ok;
}

long residentKb(pid_t pid) {
  std::string status;
  if (!kt::readFile("/proc/" + std::to_string(pid) + "/status", &status))
    return -1;
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

int openFds(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr)
    return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.')
      count++;
  closedir(dir);
  return count;
}

int settleFds(pid_t pid, int limit, int seconds) {
  int fds = openFds(pid);
  for (int i = 0; i < seconds * 10 && fds > limit; i++) {
    usleep(100000);
    fds = openFds(pid);
  }
  return fds;
}

}  // namespace kh

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kh {

RawTls::~RawTls() {
  close();
}

bool RawTls::connect(const std::string& caFile, unsigned short port, bool ipv6) {
  fd_ = kt::connectLoopback(ipv6, port);
  if (fd_ < 0)
    return false;
  int rc;
  gnutls_certificate_allocate_credentials(&credentials_);
  if (gnutls_certificate_set_x509_trust_file(credentials_, caFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0)
    return false;
  gnutls_init(&session_, GNUTLS_CLIENT);
  gnutls_set_default_priority(session_);
  gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
  gnutls_session_set_verify_cert(session_, ipv6 ? "::1" : "127.0.0.1", 0);
  gnutls_transport_set_int(session_, fd_);
  gnutls_handshake_set_timeout(session_, 20000);
  do
    rc = gnutls_handshake(session_);
  while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
  return rc == 0;
}

bool RawTls::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = gnutls_record_send(session_, bytes.data() + done, bytes.size() - done);
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
      continue;
    if (n <= 0)
      return false;
    done += (size_t)n;
  }
  return true;
}

std::string RawTls::receive(int seconds) {
  std::string out;
  char buffer[16384];
  for (;;) {
    if (gnutls_record_check_pending(session_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, seconds * 1000) <= 0)
        break;
    }
    ssize_t n = gnutls_record_recv(session_, buffer, sizeof(buffer));
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
      continue;
    if (n <= 0)
      break;
    out.append(buffer, (size_t)n);
  }
  return out;
}

bool RawTls::closedByPeer(int milliseconds) {
  if (session_ == nullptr)
    return true;
  char buffer[4096];
  for (;;) {
    if (gnutls_record_check_pending(session_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      int ready = poll(&p, 1, milliseconds);
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready == 0)
        return false;
    }
    ssize_t n = gnutls_record_recv(session_, buffer, sizeof(buffer));
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
      continue;
    if (n <= 0)
      return true;
  }
}

void RawTls::closeNotify() {
  if (session_ != nullptr)
    gnutls_bye(session_, GNUTLS_SHUT_WR);
  if (fd_ >= 0)
    shutdown(fd_, SHUT_WR);
}

void RawTls::close() {
  if (session_ != nullptr)
    gnutls_deinit(session_);
  session_ = nullptr;
  if (credentials_ != nullptr)
    gnutls_certificate_free_credentials(credentials_);
  credentials_ = nullptr;
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

void RawTls::reset() {
  if (fd_ >= 0) {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }
  close();
}

std::string rawPost(const std::string& json, const std::vector<std::string>& headers) {
  std::string body = kt::parameterBody(json);
  std::string text = "POST / HTTP/1.1\r\n";
  for (const std::string& header : headers)
    text += header + "\r\n";
  text += "Content-Type: application/x-www-form-urlencoded\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return text + body;
}

}  // namespace kh
