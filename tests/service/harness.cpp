// SPDX-License-Identifier: Apache-2.0
// harness.cpp -- see harness.h.
#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gnutls/gnutls.h>

extern char** environ;

namespace {
// Tests write to connections the service may already have closed (that is
// what several of them are about): a write must fail, not kill the test.
const bool kIgnoreSigpipe = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();
}  // namespace

namespace kt {

const unsigned short kPorts[3] = {56459, 56559, 56659};

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& bytes) {
  std::string out;
  size_t n = bytes.size();
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16;
    if (i + 1 < n)
      v |= (unsigned char)bytes[i + 1] << 8;
    if (i + 2 < n)
      v |= (unsigned char)bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[v & 63] : '=';
  }
  return out;
}

bool unbase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0)
    return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    unsigned v = 0;
    int pad = 0;
    for (int k = 0; k < 4; k++) {
      char c = text[i + k];
      const char* at = c != '\0' ? strchr(kAlphabet, c) : nullptr;
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        pad++;
        v <<= 6;
        continue;
      }
      if (at == nullptr || pad != 0)
        return false;
      v = (v << 6) | (unsigned)(at - kAlphabet);
    }
    out += (char)((v >> 16) & 255);
    if (pad < 2)
      out += (char)((v >> 8) & 255);
    if (pad < 1)
      out += (char)(v & 255);
  }
  *bytes = out;
  return true;
}

static int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

TempFolder::TempFolder() {
  char pattern[] = "/tmp/kestrovan-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr)
    path = pattern;
}

TempFolder::~TempFolder() {
  if (!path.empty())
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool readFile(const std::string& path, std::string* text) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr)
    return false;
  text->clear();
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    text->append(buffer, n);
  fclose(file);
  return true;
}

bool writeFile(const std::string& path, const std::string& text, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0)
    return false;
  bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
  return close(fd) == 0 && ok;
}

bool copyFile(const std::string& from, const std::string& to, int mode) {
  std::string text;
  return readFile(from, &text) && writeFile(to, text, mode) && chmod(to.c_str(), (mode_t)mode) == 0;
}

// environ with HOME replaced, without XDG_RUNTIME_DIR (the service's copy
// folder is then the cache folder under that HOME in every environment the
// tests run in),
// then extra, and the known library leaks of lsan.supp suppressed in
// sanitizer builds.
static std::vector<std::string> environment(const std::string& home, const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  std::string lsan = "LSAN_OPTIONS=suppressions=" KESTROVAN_LSAN_SUPPRESSIONS;
  for (char** entry = environ; *entry != nullptr; entry++) {
    if (!home.empty() && strncmp(*entry, "HOME=", 5) == 0)
      continue;
    if (strncmp(*entry, "XDG_RUNTIME_DIR=", 16) == 0)
      continue;
    if (strncmp(*entry, "LSAN_OPTIONS=", 13) == 0) {
      lsan = std::string(*entry) + ":suppressions=" KESTROVAN_LSAN_SUPPRESSIONS;
      continue;
    }
    out.push_back(*entry);
  }
  out.push_back(lsan);
  if (!home.empty())
    out.push_back("HOME=" + home);
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

static pid_t spawn(const std::vector<std::string>& argv, const std::string& home, int outputFd,
                   const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env = environment(home, extra);
  std::vector<char*> args;
  std::vector<char*> envp;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env)
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int runProgram(const std::vector<std::string>& argv, const std::string& home, std::string* output) {
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0)
    return -1;
  pid_t pid = spawn(argv, home, pipes[1]);
  close(pipes[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipes[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text.append(buffer, (size_t)n);
  close(pipes[0]);
  if (output != nullptr)
    *output = text;
  if (pid < 0)
    return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Installation::Installation(const std::string& serviceExe, const std::string& adapter, bool provision) {
  if (root.path.empty())
    return;
  bin = root.path + "/bin";
  exe = bin + "/NORTAKestrovan";
  home = root.path + "/home";
  certFile = home + "/NORTAKestrovan/data.dat";
  caFile = home + "/NORTAKestrovan/ca.pem";
  copyFolder = home + "/.cache/NORTAKestrovan";
  if (mkdir(bin.c_str(), 0700) != 0 || mkdir(home.c_str(), 0700) != 0 || !copyFile(serviceExe, exe, 0700))
    return;
  if (!adapter.empty()) {
    std::string folder = bin + "/NORTA";
    if (mkdir(folder.c_str(), 0700) != 0 || !copyFile(adapter, folder + "/HelmPKICryptAdapter.so", 0700))
      return;
  }
  if (provision) {
    std::string output;
    if (runProgram({KESTROVAN_PROVISION_EXE}, home, &output) != 0) {
      fprintf(stderr, "provisioning failed:\n%s\n", output.c_str());
      return;
    }
  }
  ok = true;
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitExit(30);
  }
  if (reader_.joinable())
    reader_.join();
}

// The loopback address of the family with port.
static socklen_t loopbackAddress(bool ipv6, unsigned short port, sockaddr_storage* address) {
  memset(address, 0, sizeof(*address));
  if (ipv6) {
    sockaddr_in6* v6 = (sockaddr_in6*)address;
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(port);
    return sizeof(*v6);
  }
  sockaddr_in* v4 = (sockaddr_in*)address;
  v4->sin_family = AF_INET;
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4->sin_port = htons(port);
  return sizeof(*v4);
}

int bindLoopback(bool ipv6, unsigned short port) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (ipv6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  sockaddr_storage address;
  socklen_t length = loopbackAddress(ipv6, port, &address);
  if (bind(fd, (sockaddr*)&address, length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int connectLoopback(bool ipv6, unsigned short port) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_storage address;
  socklen_t length = loopbackAddress(ipv6, port, &address);
  if (connect(fd, (sockaddr*)&address, length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static bool portFree(bool ipv6, unsigned short port) {
  int fd = bindLoopback(ipv6, port);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

bool waitForFreePorts(int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    bool free = true;
    for (unsigned short port : kPorts)
      free = free && portFree(false, port) && portFree(true, port);
    if (free)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    usleep(250000);
  }
}

bool ServiceProcess::start(const std::string& exe, const std::string& home, bool waitForFreePorts,
                           const std::vector<std::string>& extraEnvironment) {
  if (waitForFreePorts && !kt::waitForFreePorts(120)) {
    fprintf(stderr, "the service ports stayed taken by another program\n");
    return false;
  }
  return run({exe}, home, extraEnvironment);
}

bool ServiceProcess::run(const std::vector<std::string>& argv, const std::string& home,
                         const std::vector<std::string>& extraEnvironment) {
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0)
    return false;
  pid_ = spawn(argv, home, pipes[1], extraEnvironment);
  close(pipes[1]);
  if (pid_ < 0) {
    close(pipes[0]);
    return false;
  }
  int fd = pipes[0];
  reader_ = std::thread([this, fd] { readLoop(fd); });
  return true;
}

// Drops "ESC [ ... letter" sequences.
static std::string plain(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
      size_t j = i + 2;
      while (j < text.size() && !((text[j] >= 'A' && text[j] <= 'Z') || (text[j] >= 'a' && text[j] <= 'z')))
        j++;
      i = j;
      continue;
    }
    out += text[i];
  }
  return out;
}

void ServiceProcess::readLoop(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    pending.append(buffer, (size_t)n);
    // Colour sequences never span a line end: hand over whole lines.
    size_t end = pending.rfind('\n');
    if (end == std::string::npos)
      continue;
    std::string lines = plain(pending.substr(0, end + 1));
    pending.erase(0, end + 1);
    std::lock_guard<std::mutex> guard(lock_);
    output_ += lines;
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> guard(lock_);
  output_ += plain(pending);
  closed_ = true;
  changed_.notify_all();
}

static size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    count++;
  return count;
}

bool ServiceProcess::waitFor(const std::string& text, int seconds, size_t times) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::seconds(seconds),
                           [&] { return occurrences(output_, text) >= times || closed_; }) &&
         occurrences(output_, text) >= times;
}

int ServiceProcess::waitExit(int seconds) {
  if (pid_ <= 0)
    return -2;
  if (!exited_) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        status_ = status;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline)
        return -2;
      usleep(20000);
    }
  }
  if (reader_.joinable())
    reader_.join();
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int ServiceProcess::stop(int seconds) {
  if (pid_ > 0 && !exited_)
    kill(pid_, SIGTERM);
  return waitExit(seconds);
}

std::string ServiceProcess::output() {
  std::lock_guard<std::mutex> guard(lock_);
  return output_;
}

size_t ServiceProcess::count(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  return occurrences(output_, text);
}

bool HttpAnswer::has(const std::string& name) const {
  return indexOf(name) >= 0;
}

std::string HttpAnswer::get(const std::string& name) const {
  int at = indexOf(name);
  return at >= 0 ? headers[(size_t)at].second : std::string();
}

int HttpAnswer::indexOf(const std::string& name) const {
  for (size_t i = 0; i < headers.size(); i++)
    if (strcasecmp(headers[i].first.c_str(), name.c_str()) == 0)
      return (int)i;
  return -1;
}

static size_t onBody(char* data, size_t size, size_t count, void* user) {
  ((std::string*)user)->append(data, size * count);
  return size * count;
}

static size_t onHeader(char* data, size_t size, size_t count, void* user) {
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    size_t start = value.find_first_not_of(' ');
    value = start == std::string::npos ? "" : value.substr(start);
    ((HttpAnswer*)user)->headers.emplace_back(line.substr(0, colon), value);
  }
  return size * count;
}

HttpAnswer httpRequest(const HttpRequest& request) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpAnswer answer;
  CURL* curl = curl_easy_init();
  if (curl == nullptr)
    return answer;
  struct curl_slist* headers = nullptr;
  for (const std::string& header : request.headers)
    headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  if (request.method == "POST" && request.hasBody) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)request.body.size());
  } else if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "OPTIONS") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (!request.caFile.empty())
    curl_easy_setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  answer.curlCode = (int)curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

static std::string urlEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out += (char)c;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string parameterBody(const std::string& json) {
  return "Parameter=" + urlEncode(base64(json));
}

HttpAnswer post(const std::string& caFile, const std::string& json, const std::string& origin,
                const std::vector<std::string>& headers, const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.caFile = caFile;
  request.body = parameterBody(json);
  request.headers = headers;
  request.headers.push_back("Content-Type: application/x-www-form-urlencoded");
  if (!origin.empty())
    request.headers.push_back("Origin: " + origin);
  return httpRequest(request);
}

std::string rawTls(const std::string& caFile, unsigned short port, const std::string& bytes, int idleSeconds,
                   bool* connected) {
  *connected = false;
  std::string received;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return received;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(port);
  struct timeval timeout = {idleSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  gnutls_session_t session = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;
  if (connect(fd, (sockaddr*)&server, sizeof(server)) == 0 &&
      gnutls_certificate_allocate_credentials(&credentials) >= 0 &&
      gnutls_certificate_set_x509_trust_file(credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM) > 0 &&
      gnutls_init(&session, GNUTLS_CLIENT) >= 0 && gnutls_set_default_priority(session) >= 0 &&
      gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) >= 0) {
    gnutls_session_set_verify_cert(session, "127.0.0.1", 0);
    gnutls_transport_set_int(session, fd);
    int rc;
    do {
      rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc >= 0) {
      *connected = true;
      size_t sent = 0;
      while (sent < bytes.size()) {
        ssize_t n = gnutls_record_send(session, bytes.data() + sent, bytes.size() - sent);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
          continue;
        if (n < 0)
          break;
        sent += (size_t)n;
      }
      char buffer[16384];
      for (;;) {
        ssize_t n = gnutls_record_recv(session, buffer, sizeof(buffer));
        if (n == GNUTLS_E_INTERRUPTED)
          continue;
        if (n <= 0)
          break;  // closed, silent for idleSeconds, or a TLS error
        received.append(buffer, (size_t)n);
      }
    }
  }
  if (session != nullptr)
    gnutls_deinit(session);
  if (credentials != nullptr)
    gnutls_certificate_free_credentials(credentials);
  close(fd);
  return received;
}

bool decodeAnswer(const std::string& body, std::map<std::string, std::string>* values,
                  std::vector<std::string>* keys) {
  values->clear();
  if (keys != nullptr)
    keys->clear();
  if (body.size() < 2 || body.front() != '{' || body.back() != '}')
    return false;
  size_t at = 1;
  bool first = true;
  while (at < body.size() - 1) {
    if (!first) {
      if (body.compare(at, 2, ", ") != 0)
        return false;
      at += 2;
    }
    first = false;
    if (body[at] != '"')
      return false;
    size_t keyEnd = body.find('"', at + 1);
    if (keyEnd == std::string::npos || body.compare(keyEnd, 4, "\": \"") != 0)
      return false;
    std::string key = body.substr(at + 1, keyEnd - at - 1);
    size_t valueStart = keyEnd + 4;
    size_t valueEnd = body.find('"', valueStart);
    if (valueEnd == std::string::npos)
      return false;
    std::string decoded;
    if (!unbase64(body.substr(valueStart, valueEnd - valueStart), &decoded))
      return false;
    (*values)[key] = decoded;
    if (keys != nullptr)
      keys->push_back(key);
    at = valueEnd + 1;
  }
  return true;
}

std::string valueAfter(const std::string& output, const std::string& label) {
  size_t at = output.find(label);
  if (at == std::string::npos)
    return std::string();
  size_t start = at + label.size();
  size_t end = output.find('\n', start);
  return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

long long contextSwitches(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr)
    return -1;
  long long total = 0;
  for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
    if (entry->d_name[0] == '.')
      continue;
    std::string status;
    if (!readFile(tasks + "/" + entry->d_name + "/status", &status))
      continue;
    for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      size_t at = status.find(key);
      if (at != std::string::npos && (at == 0 || status[at - 1] == '\n'))
        total += atoll(status.c_str() + at + strlen(key));
    }
  }
  closedir(folder);
  return total;
}

}  // namespace kt
