// SPDX-License-Identifier: Apache-2.0
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
#include "include/kestrovan/adapter_files.h"
#include "include/kestrovan/adapter_origins.h"
#include "platform/platform.h"
#include "service/key_file.h"
#include "service/key_material.h"
#include "service/ports.h"
#include "service/user_folder.h"
#include "tools/service_mode.h"
#include "tools/stores.h"

static const unsigned short kPorts[] = {KESTROVAN_PORT_FIRST, KESTROVAN_PORT_SECOND, KESTROVAN_PORT_THIRD};
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
  uint64_t inode = 0;
};

// The socket listening on port at the loopback address of the family (or
// its wildcard address), as the service's own report of a port's holder
// finds it.
static Listener findListener(bool v6, unsigned short port) {
  Listener out;
  struct sockaddr_in address4 = {};
  struct sockaddr_in6 address6 = {};
  address4.sin_family = AF_INET;
  address4.sin_port = htons(port);
  address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address6.sin6_family = AF_INET6;
  address6.sin6_port = htons(port);
  address6.sin6_addr = in6addr_loopback;
  const struct sockaddr* address = v6 ? (const struct sockaddr*)&address6 : (const struct sockaddr*)&address4;
  size_t length = v6 ? sizeof(address6) : sizeof(address4);
  KestrovanPeerLookup lookup;
  KestrovanPlatform_peerLookupOpen(&lookup, KESTROVAN_PEER_SOURCE_ANY);
  uint32_t uid = 0;
  char reason[160];
  if (KestrovanPlatform_portListener(&lookup, address, length, &uid, &out.inode, reason, sizeof(reason)) ==
      KESTROVAN_PEER_FOUND) {
    out.found = true;
    out.uid = (uid_t)uid;
  }
  KestrovanPlatform_peerLookupClose(&lookup);
  return out;
}

// "process PID (name)" for the process that holds socket inode, when this
// user may look (its own processes; every process for root).
static std::string holder(uint64_t inode) {
  int pid = 0;
  char name[64];
  if (!KestrovanPlatform_socketProcess(inode, &pid, name, sizeof(name)))
    return "";
  return "process " + std::to_string(pid) + (name[0] == '\0' ? "" : " (" + std::string(name) + ")");
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

// Checks data.dat; answers its DER (empty when unreadable) and its text in
// *pem for the key check.
static std::string checkCertificate(const std::string& folder, const std::string& caPem, std::string* certPem) {
  std::string path = folder + "/" KESTROVAN_CERT_FILE_NAME;
  std::string& pem = *certPem;
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
    note("certificate", folder + "/" KESTROVAN_CA_FILE_NAME, Problem, "the local CA is missing: run NORTAKestrovanProvision --force --nss");
  } else if (!importCertificate(caPem, &ca)) {
    note("certificate", folder + "/" KESTROVAN_CA_FILE_NAME, Problem, "holds no readable certificate: run NORTAKestrovanProvision --force --nss");
  } else {
    unsigned verify = 0;
    if (gnutls_x509_crt_verify(crt, &ca, 1, 0, &verify) < 0 || verify != 0)
      note("certificate", path, Problem,
           "is not signed by the local CA in ca.pem (replaced?): browsers that trust the CA refuse it; run "
           "NORTAKestrovanProvision --force --nss and restart the service");
    else
      note("certificate", folder + "/" KESTROVAN_CA_FILE_NAME, Ok, "the local CA signed data.dat");
    gnutls_x509_crt_deinit(ca);
  }
  std::string der = derOf(crt);
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

// The key the service would serve data.dat with, judged by the service's own
// choice and key-file reader (service/key_file.h).
static void checkKey(const std::string& folder, const std::string& certPem) {
  std::string path = folder + "/" KESTROVAN_KEY_FILE_NAME;
  std::string certified;
  if (!certPem.empty() &&
      KestrovanKeyFile_choose(certPem, KestrovanKeyMaterial_publicKey, &certified) == KESTROVAN_KEY_BUILT_IN) {
    note("key", path, Warn,
         "data.dat certifies the key built into the program, which every installation of it shares: the service "
         "uses that key; run NORTAKestrovanProvision --force to make a key of your own");
    return;
  }
  KestrovanKeyFileRefusal refusal = KESTROVAN_KEY_FILE_MISSING;
  unsigned mode = 0;
  unsigned owner = 0;
  char reason[1024];
  char* key = KestrovanKeyFile_check(path.c_str(), &refusal, &mode, &owner, reason, sizeof(reason));
  if (key == nullptr) {
    const std::string refused = ": the service refuses it and does not start";
    char modeText[8];
    snprintf(modeText, sizeof(modeText), "%04o", mode);
    switch (refusal) {
      case KESTROVAN_KEY_FILE_MISSING:
        note("key", path, Problem,
             "no key of this user's own: the service does not start without it; run NORTAKestrovanProvision --force");
        break;
      case KESTROVAN_KEY_FILE_NOT_REGULAR:
        note("key", path, Problem, "is not a regular file" + refused);
        break;
      case KESTROVAN_KEY_FILE_NOT_OWN:
        note("key", path, Problem, "belongs to " + uidText(owner) + ", not to this user" + refused);
        break;
      case KESTROVAN_KEY_FILE_OPEN_MODE:
        note("key", path, Problem,
             std::string("mode ") + modeText +
                 ": others may read it; chmod 600 it (or run NORTAKestrovanProvision --force)" + refused);
        break;
      default:  // its folder, its size, or unreadable
        note("key", path, Problem, reason + refused);
        break;
    }
    return;
  }
  std::string own;
  bool isKey = KestrovanKeyFile_publicKey(key, strlen(key), &own);
  gnutls_memset(key, 0, strlen(key));
  free(key);
  if (!isKey)
    note("key", path, Problem, "holds no private key" + std::string(": the service refuses it and does not start"));
  else if (certified.empty())
    note("key", path, Info, "private to this user (no certificate to compare it with)");
  else if (own != certified)
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
    size_t suffix = strlen(KESTROVAN_ADAPTER_SUFFIX);
    if (length <= suffix || strcmp(entry->d_name + length - suffix, KESTROVAN_ADAPTER_SUFFIX) != 0)
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

// The PKI adapter's allow-list, read as the adapter reads it: its folder,
// its owner check and its grammar are the SDK's (kestrovan/adapter_files.h,
// adapter_origins.h).
static void checkAllowedSites() {
  char config[4096];
  if (KestrovanFile_ConfigFolder("helm", config, sizeof(config)) == 0) {
    note("sites", "PKI adapter", Problem, "no home folder: the PKI adapter refuses every site");
    return;
  }
  std::string path = std::string(config) + "/" KESTROVAN_ALLOW_LIST_FILE;
  char* text = nullptr;
  size_t length = 0;
  int error = 0;
  uid_t me = geteuid();
  int status = KestrovanFile_Read(path.c_str(), KESTROVAN_ALLOW_LIST_LONGEST, &me, &text, &length, &error);
  if (status == KESTROVAN_FILE_CANNOT_OPEN) {
    note("sites", path, Warn, "no site is allowed to use the PKI adapter yet (one origin a line, e.g. https://bank.example)");
    return;
  }
  if (status != KESTROVAN_FILE_READ) {
    note("sites", path, Problem,
         std::string(KestrovanFile_ReadProblem(status)) +
             ": the PKI adapter refuses every site (the list must be this user's alone: chmod go-w it)");
    return;
  }
  std::string sites;
  size_t at = 0;
  size_t start = 0;
  size_t patternLength = 0;
  while (KestrovanOriginList_Next(text, length, &at, &start, &patternLength))
    sites += (sites.empty() ? "" : ", ") + std::string(text + start, patternLength);
  free(text);
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
  std::string folder = std::string(home) + "/" KESTROVAN_USER_FOLDER_NAME;
  std::string caPem;
  readText(folder + "/" KESTROVAN_CA_FILE_NAME, caPem);
  std::string certificatePem;
  std::string certificateDer = checkCertificate(folder, caPem, &certificatePem);
  checkKey(folder, certificatePem);
  checkService(folder + "/" KESTROVAN_CA_FILE_NAME, certificateDer);
  checkStores(home, caPem);
  checkAdapters(serviceDir);
  checkAllowedSites();
  checkPkcs11();
  checkPolicies(root);
  int status = report(json, home);
  gnutls_global_deinit();
  return status;
}
