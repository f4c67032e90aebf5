// doctor.cpp -- NORTAKestrovanDoctor: tells a user (or a help desk) why a
// page cannot reach the service, in a short report.
//
//   NORTAKestrovanDoctor [--json] [--service-dir DIR] [--root DIR]
//
// Checks, for the user who runs it: who answers on each service port and
// loopback address (the service, another program -- with its uid and
// process -- or nothing); the certificate in $HOME/NORTAKestrovan/data.dat
// (names, expiry, signed by the local CA in ca.pem, the one the running
// service presents); the user's server key $HOME/NORTAKestrovan/key.pem
// (private to the user, matching the certificate); which browser
// certificate stores trust the local CA (stores.h); the adapters in
// DIR/NORTA (default: beside this program) and their versions; the PKI
// adapter's allowed sites; the PKCS #11 modules and tokens p11-kit sees;
// and the browser policies for local network access (under --root, default
// /, so a system image can be looked at). --json prints the same as one
// JSON object.
//
// Exit status: 0 when nothing is wrong, 1 when something is (a line marked
// PROBLEM says what), 2 on a usage error.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#define JSMN_STATIC
#include <jsmn.h>
#include <p11-kit/p11-kit.h>

#include "include/kestrovan/adapter.h"
#include "tools/service_mode.h"
#include "tools/stores.h"

static const unsigned short kPorts[] = {56459, 56559, 56659};
static const int kConnectMs = 3000;
static const int kAnswerMs = 5000;
static const long kRenewBeforeDays = 30;
static const size_t kMaxFile = 1 << 20;  // policy files, certificates, lists

enum Status { Ok, Info, Warn, Problem };
static const char* const kStatusWords[] = {"ok", "info", "warn", "PROBLEM"};

struct Check {
  std::string area;     // "service", "certificate", "key", "store", "adapter", "sites", "pkcs11", "policy"
  std::string subject;  // what was looked at
  Status status;
  std::string text;
};

static std::vector<Check> Findings;

static void note(const std::string& area, const std::string& subject, Status status, const std::string& text) {
  Findings.push_back({area, subject, status, text});
}

static bool readText(const std::string& path, std::string& out) {
  FILE* file = fopen(path.c_str(), "rbe");
  if (file == nullptr)
    return false;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0 && out.size() < kMaxFile)
    out.append(buffer, n);
  fclose(file);
  return true;
}

static std::string userName(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
    return found->pw_name;
  return "";
}

static std::string uidText(uid_t uid) {
  std::string name = userName(uid);
  return "uid " + std::to_string(uid) + (name.empty() ? "" : " (" + name + ")");
}

// ---------------------------------------------------------------- sockets

struct Listener {
  bool found = false;
  uid_t uid = 0;
  unsigned long inode = 0;
};

// The LISTEN socket on port for address (127.0.0.1 or ::1, or the wildcard
// of that family), from /proc/net/tcp or tcp6.
static Listener findListener(bool v6, unsigned short port) {
  Listener out;
  std::string table;
  if (!readText(v6 ? "/proc/net/tcp6" : "/proc/net/tcp", table))
    return out;
  char loopback[33];
  char any[33];
  if (v6) {
    snprintf(loopback, sizeof(loopback), "%s", "00000000000000000000000001000000");
    snprintf(any, sizeof(any), "%s", "00000000000000000000000000000000");
  } else {
    snprintf(loopback, sizeof(loopback), "%s", "0100007F");
    snprintf(any, sizeof(any), "%s", "00000000");
  }
  size_t at = table.find('\n');  // the heading
  while (at != std::string::npos && at + 1 < table.size()) {
    size_t end = table.find('\n', at + 1);
    std::string line = table.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    at = end;
    char local[64];
    char remote[64];
    unsigned state = 0;
    unsigned long uid = 0;
    unsigned long inode = 0;
    // "sl local rem st tx:rx tr:when retrnsmt uid timeout inode"
    if (sscanf(line.c_str(), " %*s %63s %63s %x %*s %*s %*s %lu %*s %lu", local, remote, &state, &uid, &inode) != 5)
      continue;
    char* colon = strchr(local, ':');
    if (colon == nullptr || state != 0x0A)
      continue;
    *colon = '\0';
    if (strtoul(colon + 1, nullptr, 16) != port)
      continue;
    if (strcmp(local, loopback) == 0 || strcmp(local, any) == 0) {
      out.found = true;
      out.uid = (uid_t)uid;
      out.inode = inode;
      return out;
    }
  }
  return out;
}

// "process PID (name)" for the process that holds socket inode, when this
// user may look (its own processes; every process for root).
static std::string holder(unsigned long inode) {
  if (inode == 0)
    return "";
  char wanted[64];
  snprintf(wanted, sizeof(wanted), "socket:[%lu]", inode);
  DIR* proc = opendir("/proc");
  if (proc == nullptr)
    return "";
  std::string found;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
      continue;
    std::string fdFolder = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = opendir(fdFolder.c_str());
    if (fds == nullptr)
      continue;
    while (struct dirent* fd = readdir(fds)) {
      char target[128];
      std::string link = fdFolder + "/" + fd->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
      if (n <= 0)
        continue;
      target[n] = '\0';
      if (strcmp(target, wanted) == 0) {
        std::string name;
        readText(std::string("/proc/") + entry->d_name + "/comm", name);
        while (!name.empty() && name.back() == '\n')
          name.pop_back();
        found = std::string("process ") + entry->d_name + (name.empty() ? "" : " (" + name + ")");
        break;
      }
    }
    closedir(fds);
    if (!found.empty())
      break;
  }
  closedir(proc);
  return found;
}

static int connectTo(bool v6, unsigned short port) {
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return -1;
  int rc;
  if (v6) {
    struct sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    rc = connect(fd, (struct sockaddr*)&address, sizeof(address));
  } else {
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, (struct sockaddr*)&address, sizeof(address));
  }
  if (rc != 0 && errno == EINPROGRESS) {
    struct pollfd wait = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof(error);
    if (poll(&wait, 1, kConnectMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
      rc = 0;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  // Blocking from here, each read and write bounded.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct timeval limit = {kAnswerMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return fd;
}

struct Probe {
  bool connected = false;
  bool handshake = false;
  bool trusted = false;     // the certificate verified against ca.pem for "localhost"
  bool answered = false;    // an answer in the service's form
  std::string servedDer;    // the certificate the server presented
  std::string detail;
};

// The request the page library sends to find the service: it has no
// effect, and the service answers it with a new "SessionID".
static const char kProbeJson[] = "{\"FunctionName\": \"KestrovanClose\", \"SessionId\": \"\"}";

static Probe probe(bool v6, unsigned short port, const std::string& caFile) {
  Probe out;
  int fd = connectTo(v6, port);
  if (fd < 0) {
    out.detail = "no connection";
    return out;
  }
  out.connected = true;
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_session_t session = nullptr;
  do {
    if (gnutls_certificate_allocate_credentials(&credentials) < 0 || gnutls_init(&session, GNUTLS_CLIENT) < 0 ||
        gnutls_set_default_priority(session) < 0 ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) < 0) {
      out.detail = "TLS could not be set up";
      break;
    }
    gnutls_certificate_set_x509_trust_file(credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM);
    gnutls_transport_set_int(session, fd);
    gnutls_handshake_set_timeout(session, kAnswerMs);
    int rc;
    do {
      rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc < 0) {
      out.detail = std::string("TLS handshake failed: ") + gnutls_strerror(rc);
      break;
    }
    out.handshake = true;
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (chain != nullptr && count > 0)
      out.servedDer.assign((const char*)chain[0].data, chain[0].size);
    unsigned status = 0;
    out.trusted = gnutls_certificate_verify_peers3(session, "localhost", &status) == 0 && status == 0;

    gnutls_datum_t json = {(unsigned char*)kProbeJson, (unsigned)strlen(kProbeJson)};
    gnutls_datum_t base64 = {nullptr, 0};
    if (gnutls_base64_encode2(&json, &base64) < 0)
      break;
    std::string parameter;
    for (unsigned i = 0; i < base64.size; i++) {
      char c = (char)base64.data[i];
      if (c == '+')
        parameter += "%2B";
      else if (c == '/')
        parameter += "%2F";
      else if (c == '=')
        parameter += "%3D";
      else if (c != '\n' && c != '\r')
        parameter += c;
    }
    gnutls_free(base64.data);
    std::string body = "Parameter=" + parameter;
    std::string request = "POST / HTTP/1.1\r\nHost: " + std::string(v6 ? "localhost" : "127.0.0.1") + ":" +
                          std::to_string(port) +
                          "\r\nOrigin: https://doctor.kestrovan.invalid\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    if (gnutls_record_send(session, request.data(), request.size()) != (ssize_t)request.size()) {
      out.detail = "the request could not be sent";
      break;
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
      ssize_t n = gnutls_record_recv(session, buffer, sizeof(buffer));
      if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
        continue;
      if (n <= 0 || answer.size() > 65536)
        break;
      answer.append(buffer, (size_t)n);
    }
    out.answered = answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("\"SessionID\"") != std::string::npos;
    if (!out.answered)
      out.detail = answer.empty() ? "no answer within " + std::to_string(kAnswerMs / 1000) + " s (busy with a long call?)"
                                  : "an answer that is not the service's";
  } while (false);
  if (session != nullptr) {
    gnutls_bye(session, GNUTLS_SHUT_WR);
    gnutls_deinit(session);
  }
  if (credentials != nullptr)
    gnutls_certificate_free_credentials(credentials);
  close(fd);
  return out;
}

// ------------------------------------------------------------ certificate

static bool importCertificate(const std::string& pem, gnutls_x509_crt_t* crt) {
  gnutls_datum_t datum = {(unsigned char*)pem.data(), (unsigned)pem.size()};
  if (gnutls_x509_crt_init(crt) < 0)
    return false;
  if (gnutls_x509_crt_import(*crt, &datum, GNUTLS_X509_FMT_PEM) < 0) {
    gnutls_x509_crt_deinit(*crt);
    *crt = nullptr;
    return false;
  }
  return true;
}

static std::string names(gnutls_x509_crt_t crt) {
  std::string out;
  for (unsigned i = 0;; i++) {
    char name[256];
    size_t size = sizeof(name);
    int type = gnutls_x509_crt_get_subject_alt_name(crt, i, name, &size, nullptr);
    if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE)
      break;
    if (type < 0)
      continue;
    char text[INET6_ADDRSTRLEN] = "";
    if (type == GNUTLS_SAN_DNSNAME)
      snprintf(text, sizeof(text), "%.*s", (int)size, name);
    else if (type == GNUTLS_SAN_IPADDRESS && size == 4)
      inet_ntop(AF_INET, name, text, sizeof(text));
    else if (type == GNUTLS_SAN_IPADDRESS && size == 16)
      inet_ntop(AF_INET6, name, text, sizeof(text));
    if (text[0] != '\0')
      out += (out.empty() ? "" : ", ") + std::string(text);
  }
  return out;
}

static std::string dateText(time_t when) {
  struct tm day;
  char text[32] = "?";
  if (gmtime_r(&when, &day) != nullptr)
    strftime(text, sizeof(text), "%Y-%m-%d", &day);
  return text;
}

static std::string derOf(gnutls_x509_crt_t crt) {
  gnutls_datum_t der = {nullptr, 0};
  std::string out;
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &der) >= 0)
    out.assign((const char*)der.data, der.size);
  gnutls_free(der.data);
  return out;
}

// Checks data.dat; answers its DER (empty when unreadable) and its key for
// the key check.
static std::string checkCertificate(const std::string& folder, const std::string& caPem, gnutls_pubkey_t* key) {
  std::string path = folder + "/data.dat";
  std::string pem;
  gnutls_x509_crt_t crt = nullptr;
  if (!readText(path, pem)) {
    note("certificate", path, Problem, "missing: run NORTAKestrovanProvision");
    return "";
  }
  if (!importCertificate(pem, &crt)) {
    note("certificate", path, Problem, "holds no readable certificate: run NORTAKestrovanProvision --force");
    return "";
  }
  time_t now = time(nullptr);
  time_t expires = gnutls_x509_crt_get_expiration_time(crt);
  long days = (long)((expires - now) / 86400);
  std::string shown = names(crt);
  bool allNames = shown.find("localhost") != std::string::npos && shown.find("127.0.0.1") != std::string::npos &&
                  shown.find("::1") != std::string::npos;
  std::string about = "for " + (shown.empty() ? std::string("no names") : shown) + "; valid until " +
                      dateText(expires);
  if (expires < now)
    note("certificate", path, Problem, about + ": expired " + std::to_string(-days) +
                                           " days ago; run NORTAKestrovanProvision and restart the service");
  else if (gnutls_x509_crt_get_activation_time(crt) > now)
    note("certificate", path, Problem, about + ": not valid yet (is the clock right?)");
  else if (!allNames)
    note("certificate", path, Problem, about + ": does not name 127.0.0.1, ::1 and localhost");
  else if (days < kRenewBeforeDays)
    note("certificate", path, Warn, about + " (" + std::to_string(days) + " days): provisioning renews it");
  else
    note("certificate", path, Ok, about + " (" + std::to_string(days) + " days)");

  gnutls_x509_crt_t ca = nullptr;
  if (caPem.empty()) {
    note("certificate", folder + "/ca.pem", Problem, "the local CA is missing: run NORTAKestrovanProvision --force --nss");
  } else if (!importCertificate(caPem, &ca)) {
    note("certificate", folder + "/ca.pem", Problem, "holds no readable certificate: run NORTAKestrovanProvision --force --nss");
  } else {
    unsigned verify = 0;
    if (gnutls_x509_crt_verify(crt, &ca, 1, 0, &verify) < 0 || verify != 0)
      note("certificate", path, Problem,
           "is not signed by the local CA in ca.pem (replaced?): browsers that trust the CA refuse it; run "
           "NORTAKestrovanProvision --force --nss and restart the service");
    else
      note("certificate", folder + "/ca.pem", Ok, "the local CA signed data.dat");
    gnutls_x509_crt_deinit(ca);
  }
  std::string der = derOf(crt);
  if (gnutls_pubkey_init(key) >= 0 && gnutls_pubkey_import_x509(*key, crt, 0) < 0) {
    gnutls_pubkey_deinit(*key);
    *key = nullptr;
  }
  gnutls_x509_crt_deinit(crt);
  return der;
}

// --------------------------------------------------------------- service

static void checkService(const std::string& caFile, const std::string& certificateDer) {
  uid_t me = geteuid();
  int ours = 0;
  int others = 0;
  for (bool v6 : {false, true}) {
    for (unsigned short port : kPorts) {
      std::string address = std::string(v6 ? "[::1]" : "127.0.0.1") + ":" + std::to_string(port);
      Listener listener = findListener(v6, port);
      if (!listener.found) {
        note("service", address, Info, "nothing listens");
        continue;
      }
      if (listener.uid != me) {
        others++;
        std::string process = holder(listener.inode);
        note("service", address, Problem,
             "held by another program: " + uidText(listener.uid) + (process.empty() ? "" : ", " + process) +
                 "; the service of " + uidText(me) + " cannot use this port");
        continue;
      }
      ours++;
      Probe answer = probe(v6, port, caFile);
      std::string process = holder(listener.inode);
      std::string who = process.empty() ? "" : " (" + process + ")";
      if (!answer.handshake)
        note("service", address, Problem, "a program of yours listens" + who + " but " + answer.detail);
      else if (!answer.answered)
        note("service", address, answer.detail.find("busy") != std::string::npos ? Warn : Problem,
             "TLS works" + who + " but " + answer.detail);
      else if (!answer.trusted)
        note("service", address, Problem,
             "the service answers" + who +
                 " with a certificate the local CA did not sign: restart it after provisioning");
      else if (!certificateDer.empty() && answer.servedDer != certificateDer)
        note("service", address, Problem,
             "the service answers" + who + " with another certificate than data.dat: restart it");
      else
        note("service", address, Ok, "the service answers" + who);
    }
  }
  std::string mode = KestrovanServiceMode_describe();
  if (!mode.empty())
    note("service", "start mode", Info, mode);
  if (ours == 0 && others == 0)
    note("service", "NORTAKestrovan", Problem,
         "not running: start it (systemctl --user start kestrovan, or run NORTAKestrovan)");
}

// ------------------------------------------------------------------- key

static void checkKey(const std::string& folder, gnutls_pubkey_t certificateKey) {
  std::string path = folder + "/key.pem";
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    note("key", path, Warn, "no key of this user's own yet: the service uses the key built into the program");
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    note("key", path, Problem, "is not a regular file");
    return;
  }
  if (info.st_uid != geteuid()) {
    note("key", path, Problem, "belongs to " + uidText(info.st_uid) + ", not to this user");
    return;
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", (unsigned)(info.st_mode & 07777));
    note("key", path, Problem,
         std::string("mode ") + mode + ": others may read it; chmod 600 it (or run NORTAKestrovanProvision --force)");
    return;
  }
  std::string pem;
  bool matches = false;
  if (readText(path, pem) && certificateKey != nullptr) {
    gnutls_privkey_t key = nullptr;
    gnutls_pubkey_t pub = nullptr;
    gnutls_datum_t datum = {(unsigned char*)pem.data(), (unsigned)pem.size()};
    if (gnutls_privkey_init(&key) >= 0 && gnutls_privkey_import_x509_raw(key, &datum, GNUTLS_X509_FMT_PEM, nullptr, 0) >= 0 &&
        gnutls_pubkey_init(&pub) >= 0 && gnutls_pubkey_import_privkey(pub, key, 0, 0) >= 0) {
      gnutls_datum_t a = {nullptr, 0};
      gnutls_datum_t b = {nullptr, 0};
      matches = gnutls_pubkey_export2(pub, GNUTLS_X509_FMT_DER, &a) >= 0 &&
                gnutls_pubkey_export2(certificateKey, GNUTLS_X509_FMT_DER, &b) >= 0 && a.size == b.size &&
                memcmp(a.data, b.data, a.size) == 0;
      gnutls_free(a.data);
      gnutls_free(b.data);
    }
    if (pub != nullptr)
      gnutls_pubkey_deinit(pub);
    if (key != nullptr)
      gnutls_privkey_deinit(key);
  }
  gnutls_memset(&pem[0], 0, pem.size());
  if (certificateKey == nullptr)
    note("key", path, Info, "private to this user (no certificate to compare it with)");
  else if (!matches)
    note("key", path, Problem, "does not belong to the certificate in data.dat: run NORTAKestrovanProvision --force");
  else
    note("key", path, Ok, "private to this user, the key of data.dat's certificate");
}

// ---------------------------------------------------------------- stores

static void checkStores(const std::string& home, const std::string& caPem) {
  if (!KestrovanStores_HaveCertutil()) {
    note("store", "certutil", Problem, "not found (Debian package libnss3-tools): browsers' stores cannot be checked");
    return;
  }
  std::vector<std::string> notes;
  for (const KestrovanStore& store : KestrovanStores_Find(home, &notes)) {
    std::string subject = store.folder + " (" + store.reader + ")";
    switch (KestrovanStores_Check(store, caPem)) {
      case KestrovanStore_Trusted:
        note("store", subject, Ok, "trusts the local CA");
        break;
      case KestrovanStore_NotTrusted:
        note("store", subject, Problem, "holds the local CA but does not trust it for web sites: run NORTAKestrovanProvision --nss");
        break;
      case KestrovanStore_Other:
        note("store", subject, Problem, "trusts an earlier local CA of ours, not the current one: run NORTAKestrovanProvision --nss");
        break;
      case KestrovanStore_Missing:
        note("store", subject, Problem, "does not trust the local CA: run NORTAKestrovanProvision --nss");
        break;
      case KestrovanStore_Unreadable:
        note("store", subject, Problem, "has no database certutil can read: run NORTAKestrovanProvision --nss");
        break;
    }
  }
  for (const std::string& text : notes)
    note("store", "profiles.ini", Warn, text);
}

// -------------------------------------------------------------- adapters

// The adapter's own version answer, asked as the service asks it.
static std::string adapterVersion(const std::string& path, std::string* why) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    *why = error != nullptr ? error : "cannot be loaded";
    return "";
  }
  std::string version;
  auto mapMethod = reinterpret_cast<KestrovanCallJsonMapMethod>(dlsym(library, KESTROVAN_CALL_JSON_MAP_METHOD_SYMBOL));
  auto textMethod = reinterpret_cast<KestrovanCallMethod>(dlsym(library, KESTROVAN_CALL_METHOD_SYMBOL));
  char keyCheck[] = KESTROVAN_KEY_CHECK_KEY;
  char yes[] = "true";
  char nameKey[] = KESTROVAN_FUNCTION_NAME_KEY;
  char name[] = KESTROVAN_FUNCTION_GET_VERSION;
  char indexKey[] = KESTROVAN_FUNCTION_INDEX_KEY;
  char index[] = KESTROVAN_FUNCTION_INDEX_GET_VERSION;
  const char* answer = nullptr;
  if (mapMethod != nullptr) {
    // Sorted by key, ignoring case, as the service hands maps over.
    static KestrovanJsonMap map;
    memset(&map, 0, sizeof(map));
    map.units[0] = {keyCheck, yes, nullptr, 0};
    map.units[1] = {nameKey, name, nullptr, 0};
    map.units[2] = {indexKey, index, nullptr, 0};
    map.count = 3;
    answer = mapMethod(&map, name);
  } else if (textMethod != nullptr) {
    answer = textMethod("{\"" KESTROVAN_KEY_CHECK_KEY "\":\"true\",\"" KESTROVAN_FUNCTION_NAME_KEY
                        "\":\"" KESTROVAN_FUNCTION_GET_VERSION "\",\"" KESTROVAN_FUNCTION_INDEX_KEY
                        "\":\"" KESTROVAN_FUNCTION_INDEX_GET_VERSION "\"}");
  } else {
    *why = "exports neither entry point";
  }
  if (answer != nullptr)
    version.assign(answer, strnlen(answer, 64));
  else if (why->empty())
    *why = "answers no version";
  dlclose(library);
  return version;
}

static void checkAdapters(const std::string& serviceDir) {
  std::string folder = serviceDir + "/NORTA";
  DIR* adapters = opendir(folder.c_str());
  if (adapters == nullptr) {
    note("adapter", folder, Problem, "no adapter folder beside the service (--service-dir names the service's folder)");
    return;
  }
  int count = 0;
  while (struct dirent* entry = readdir(adapters)) {
    size_t length = strlen(entry->d_name);
    if (length < 4 || strcmp(entry->d_name + length - 3, ".so") != 0)
      continue;
    count++;
    std::string path = folder + "/" + entry->d_name;
    std::string why;
    std::string version = adapterVersion(path, &why);
    if (version.empty())
      note("adapter", path, Problem, why);
    else
      note("adapter", path, Ok, "version " + version);
  }
  closedir(adapters);
  if (count == 0)
    note("adapter", folder, Problem, "holds no adapter");
}

static void checkAllowedSites(const std::string& home) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  std::string config = xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : home + "/.config";
  std::string path = config + "/kestrovan/helm/allowed-origins";
  std::string text;
  if (!readText(path, text)) {
    note("sites", path, Warn, "no site is allowed to use the PKI adapter yet (one origin a line, e.g. https://bank.example)");
    return;
  }
  std::string sites;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (!line.empty() && line[0] != '#')
      sites += (sites.empty() ? "" : ", ") + line;
  }
  if (sites.empty())
    note("sites", path, Warn, "lists no site: pages get the PKI adapter's refusal");
  else
    note("sites", path, Info, "the PKI adapter serves " + sites);
}

// ----------------------------------------------------------------- pkcs11

static std::string padded(const unsigned char* text, size_t size) {
  std::string out((const char*)text, size);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0'))
    out.pop_back();
  return out;
}

static void checkPkcs11() {
  CK_FUNCTION_LIST** modules = p11_kit_modules_load_and_initialize(0);
  if (modules == nullptr) {
    note("pkcs11", "p11-kit", Warn, std::string("no module could be loaded: ") + p11_kit_message());
    return;
  }
  int count = 0;
  for (CK_FUNCTION_LIST** module = modules; *module != nullptr; module++) {
    count++;
    char* name = p11_kit_module_get_name(*module);
    std::string subject = name != nullptr ? name : "(unnamed module)";
    free(name);
    CK_ULONG slots = 0;
    std::string tokens;
    if ((*module)->C_GetSlotList(CK_TRUE, nullptr, &slots) == CKR_OK && slots > 0) {
      std::vector<CK_SLOT_ID> ids(slots);
      if ((*module)->C_GetSlotList(CK_TRUE, ids.data(), &slots) == CKR_OK) {
        for (CK_ULONG i = 0; i < slots; i++) {
          CK_TOKEN_INFO info;
          if ((*module)->C_GetTokenInfo(ids[i], &info) != CKR_OK)
            continue;
          std::string label = padded(info.label, sizeof(info.label));
          if ((info.flags & CKF_TOKEN_INITIALIZED) == 0)
            label = "a token not initialised yet";
          else
            label = "\"" + label + "\"";
          tokens += (tokens.empty() ? "" : ", ") + label;
        }
      }
    }
    note("pkcs11", subject, Info, tokens.empty() ? "no token present" : "tokens " + tokens);
  }
  p11_kit_modules_finalize_and_release(modules);
  if (count == 0)
    note("pkcs11", "p11-kit", Info, "no PKCS #11 module is registered");
}

// ---------------------------------------------------------------- policies

// The strings of the array at key (any depth) in a JSON text, joined; found
// is set when the key is there at all.
static std::string policyStrings(const std::string& json, const char* key, bool* found, bool* valid) {
  jsmn_parser parser;
  jsmn_init(&parser);
  int needed = jsmn_parse(&parser, json.data(), json.size(), nullptr, 0);
  *valid = needed > 0;
  if (needed <= 0)
    return "";
  std::vector<jsmntok_t> tokens((size_t)needed);
  jsmn_init(&parser);
  if (jsmn_parse(&parser, json.data(), json.size(), tokens.data(), (unsigned)needed) < 0) {
    *valid = false;
    return "";
  }
  std::string out;
  for (int i = 0; i + 1 < needed; i++) {
    const jsmntok_t& t = tokens[(size_t)i];
    if (t.type != JSMN_STRING || json.compare((size_t)t.start, (size_t)(t.end - t.start), key) != 0 ||
        strlen(key) != (size_t)(t.end - t.start))
      continue;
    *found = true;
    const jsmntok_t& value = tokens[(size_t)i + 1];
    if (value.type != JSMN_ARRAY)
      continue;
    for (int j = i + 2; j < needed && tokens[(size_t)j].start < value.end; j++) {
      if (tokens[(size_t)j].type == JSMN_STRING)
        out += (out.empty() ? "" : ", ") +
               json.substr((size_t)tokens[(size_t)j].start, (size_t)(tokens[(size_t)j].end - tokens[(size_t)j].start));
    }
  }
  return out;
}

static void checkPolicyFile(const std::string& path, const char* browser, const std::vector<const char*>& keys) {
  std::string json;
  if (!readText(path, json))
    return;
  bool any = false;
  for (const char* key : keys) {
    bool found = false;
    bool valid = true;
    std::string sites = policyStrings(json, key, &found, &valid);
    if (!valid) {
      note("policy", path, Problem, std::string(browser) + " cannot read this file: it is not valid JSON");
      return;
    }
    if (!found)
      continue;
    any = true;
    bool blocks = strstr(key, "Blocked") != nullptr;
    note("policy", path, blocks ? Warn : Info,
         std::string(browser) + " " + key + ": " + (sites.empty() ? std::string("set") : sites));
  }
  if (!any)
    note("policy", path, Info, std::string(browser) + ": no local network access policy");
}

static void checkPolicies(const std::string& root) {
  static const std::vector<const char*> chromiumKeys = {
      "LocalNetworkAccessAllowedForUrls", "LoopbackNetworkAllowedForUrls", "LocalNetworkAccessBlockedForUrls",
      "LoopbackNetworkBlockedForUrls"};
  static const std::vector<const char*> firefoxKeys = {"SkipDomains", "Install"};
  struct Folder {
    const char* path;
    const char* browser;
  };
  static const Folder chromium[] = {
      {"/etc/chromium/policies/managed", "Chromium"},
      {"/etc/opt/chrome/policies/managed", "Chrome"},
      {"/etc/opt/edge/policies/managed", "Edge"},
  };
  int files = 0;
  for (const Folder& folder : chromium) {
    std::string path = root + folder.path;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
      continue;
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
      size_t length = strlen(entry->d_name);
      if (length > 5 && strcmp(entry->d_name + length - 5, ".json") == 0)
        names.push_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) {
      files++;
      checkPolicyFile(path + "/" + name, folder.browser, chromiumKeys);
    }
  }
  for (const char* path : {"/etc/firefox/policies/policies.json", "/usr/lib/firefox-esr/distribution/policies.json",
                           "/usr/lib/firefox/distribution/policies.json"}) {
    struct stat info;
    if (stat((root + path).c_str(), &info) == 0) {
      files++;
      checkPolicyFile(root + path, "Firefox", firefoxKeys);
    }
  }
  if (files == 0)
    note("policy", root.empty() ? "/" : root, Info,
         "no browser policy files: each site asks the user once for local network access");
}

// ----------------------------------------------------------------- output

static std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c < 0x20) {
      char escape[8];
      snprintf(escape, sizeof(escape), "\\u%04x", c);
      out += escape;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

static int report(bool json, const std::string& home) {
  int problems = 0;
  for (const Check& check : Findings)
    problems += check.status == Problem ? 1 : 0;
  if (json) {
    printf("{\"ok\": %s, \"problems\": %d, \"uid\": %u, \"home\": %s, \"checks\": [", problems == 0 ? "true" : "false",
           problems, (unsigned)geteuid(), jsonText(home).c_str());
    for (size_t i = 0; i < Findings.size(); i++) {
      const Check& c = Findings[i];
      printf("%s\n  {\"area\": %s, \"subject\": %s, \"status\": %s, \"text\": %s}", i == 0 ? "" : ",",
             jsonText(c.area).c_str(), jsonText(c.subject).c_str(), jsonText(kStatusWords[c.status]).c_str(),
             jsonText(c.text).c_str());
    }
    printf("\n]}\n");
  } else {
    printf("NORTAKestrovan doctor: %s, home %s\n", uidText(geteuid()).c_str(), home.c_str());
    for (const Check& c : Findings)
      printf("%-8s %-11s %s: %s\n", kStatusWords[c.status], c.area.c_str(), c.subject.c_str(), c.text.c_str());
    if (problems == 0)
      printf("No problem found.\n");
    else
      printf("%d problem%s found (lines marked PROBLEM).\n", problems, problems == 1 ? "" : "s");
  }
  fflush(stdout);
  return problems == 0 ? 0 : 1;
}

static std::string ownFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0)
    return ".";
  path[n] = '\0';
  char* slash = strrchr(path, '/');
  if (slash != nullptr)
    *slash = '\0';
  return path;
}

int main(int argc, char** argv) {
  bool json = false;
  std::string serviceDir = ownFolder();
  std::string root;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "--service-dir") == 0 && i + 1 < argc) {
      serviceDir = argv[++i];
    } else if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
      while (!root.empty() && root.back() == '/')
        root.pop_back();
    } else {
      fprintf(stderr, "usage: NORTAKestrovanDoctor [--json] [--service-dir DIR] [--root DIR]\n");
      return 2;
    }
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    fprintf(stderr, "NORTAKestrovanDoctor: HOME is not set to an absolute path\n");
    return 2;
  }
  if (gnutls_global_init() < 0)
    return 1;
  std::string folder = std::string(home) + "/NORTAKestrovan";
  std::string caPem;
  readText(folder + "/ca.pem", caPem);
  gnutls_pubkey_t certificateKey = nullptr;
  std::string certificateDer = checkCertificate(folder, caPem, &certificateKey);
  checkKey(folder, certificateKey);
  if (certificateKey != nullptr)
    gnutls_pubkey_deinit(certificateKey);
  checkService(folder + "/ca.pem", certificateDer);
  checkStores(home, caPem);
  checkAdapters(serviceDir);
  checkAllowedSites(home);
  checkPkcs11();
  checkPolicies(root);
  int status = report(json, home);
  gnutls_global_deinit();
  return status;
}
