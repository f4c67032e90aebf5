// SPDX-License-Identifier: Apache-2.0
// bare_server.cpp -- the ceiling for the service's design: a libmicrohttpd
// HTTPS listener with the service's start flags, TLS priorities, certificate
// and key, a POST processor collecting the one field "Parameter", and a fixed
// answer of the same bytes and headers as the service's echo. Nothing else:
// no trace, no map, no dispatch. The accept policy (127.0.0.1 or ::1, and a
// client socket of this user) is the service's own.
//
//   bare_server serve PORT BODY_FILE [--ipv6]   serves until SIGINT/SIGTERM
//   bare_server key-out FILE                    writes the server key the
//                                               service would use (PEM, mode
//                                               0600) for nginx
//
// The certificate is $HOME/NORTAKestrovan/data.dat and the key the one the
// service picks for it, as for the service.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include "service/key.h"
#include "service/listener.h"
#include "service/peers.h"

namespace {

std::string body;
volatile sig_atomic_t stopSignal = 0;

void onStop(int) { stopSignal = 1; }

struct Request {
  struct MHD_PostProcessor* post;
  std::string parameter;
};

enum MHD_Result iterate(void* cls, enum MHD_ValueKind, const char* key, const char*, const char*, const char*,
                        const char* data, uint64_t, size_t size) {
  Request* request = (Request*)cls;
  if (key != nullptr && strcmp(key, "Parameter") == 0)
    request->parameter.append(data, size);
  return MHD_YES;
}

enum MHD_Result handler(void*, struct MHD_Connection* connection, const char*, const char* method, const char*,
                        const char* uploadData, size_t* uploadDataSize, void** perRequest) {
  if (*perRequest == nullptr) {
    Request* request = new Request{nullptr, std::string()};
    if (strcmp(method, "POST") == 0)
      request->post = MHD_create_post_processor(connection, 8192, iterate, request);
    if (request->post == nullptr) {
      delete request;
      return MHD_NO;
    }
    *perRequest = request;
    return MHD_YES;
  }
  Request* request = (Request*)*perRequest;
  if (*uploadDataSize != 0) {
    MHD_post_process(request->post, uploadData, *uploadDataSize);
    *uploadDataSize = 0;
    return MHD_YES;
  }
  struct MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), (void*)body.data(), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr)
    return MHD_NO;
  const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "origin");
  if (origin != nullptr && strncmp(origin, "http", 4) == 0)
    MHD_add_response_header(response, "Access-Control-Allow-Origin", origin);
  const char* keepAlive = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Connection");
  if (keepAlive != nullptr && strcasecmp(keepAlive, "keep-alive") == 0)
    MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
  MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
  enum MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

void completed(void*, struct MHD_Connection*, void** perRequest, enum MHD_RequestTerminationCode) {
  Request* request = (Request*)*perRequest;
  if (request == nullptr)
    return;
  if (request->post != nullptr)
    MHD_destroy_post_processor(request->post);
  delete request;
  *perRequest = nullptr;
}

void logger(void*, const char* format, va_list arguments) { vfprintf(stderr, format, arguments); }

bool readAll(const char* path, std::string* out) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr)
    return false;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    out->append(buffer, n);
  fclose(file);
  return true;
}

std::string certificate() {
  const char* home = getenv("HOME");
  std::string path = std::string(home != nullptr ? home : "") + "/NORTAKestrovan/data.dat";
  std::string cert;
  if (KestrovanReadFile(path.c_str(), cert) != 0) {
    fprintf(stderr, "bare_server: no certificate at %s\n", path.c_str());
    exit(1);
  }
  return cert;
}

char* serverKey(const std::string& cert) {
  const char* home = getenv("HOME");
  std::string folder = std::string(home != nullptr ? home : "") + "/NORTAKestrovan";
  return getKey(folder.c_str(), cert);
}

}  // namespace

// The service's check of who is connecting, without its connection caps
// (the service's accept policy keeps those in its listener table).
static enum MHD_Result checkPeer(void* cls, const struct sockaddr* address, socklen_t addressLength) {
  return KestrovanListener_checkPeer((KestrovanListenerPeers*)cls, address, addressLength) ? MHD_YES : MHD_NO;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "key-out") == 0) {
    char* key = serverKey(certificate());
    if (key == nullptr)
      return 1;
    int fd = open(argv[2], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, key, strlen(key)) == (ssize_t)strlen(key);
    if (fd >= 0)
      ok = close(fd) == 0 && ok;
    freeKey(key);
    return ok ? 0 : 1;
  }
  if (argc < 4 || strcmp(argv[1], "serve") != 0) {
    fprintf(stderr, "usage: bare_server serve PORT BODY_FILE [--ipv6] | bare_server key-out FILE\n");
    return 2;
  }
  unsigned short port = (unsigned short)atoi(argv[2]);
  if (!readAll(argv[3], &body))
    return 1;
  bool ipv6 = argc > 4 && strcmp(argv[4], "--ipv6") == 0;
  std::string cert = certificate();
  char* key = serverKey(cert);
  if (key == nullptr)
    return 1;
  std::string priorities = "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3";

  struct sockaddr_in v4;
  memset(&v4, 0, sizeof(v4));
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4.sin_port = htons(port);
  struct sockaddr_in6 v6;
  memset(&v6, 0, sizeof(v6));
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  v6.sin6_port = htons(port);

  const struct sockaddr* address = ipv6 ? (const struct sockaddr*)&v6 : (const struct sockaddr*)&v4;
  KestrovanListenerPeers* peers = KestrovanPeers_new(address);
  struct MHD_Daemon* daemon = MHD_start_daemon(
      ipv6 ? KESTROVAN_LISTENER_FLAGS_IPV6 : KESTROVAN_LISTENER_FLAGS_IPV4, port, checkPeer, peers, handler,
      nullptr, MHD_OPTION_EXTERNAL_LOGGER, logger, nullptr, MHD_OPTION_SOCK_ADDR,
      address, MHD_OPTION_HTTPS_MEM_CERT, cert.c_str(),
      MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES, priorities.c_str(),
      MHD_OPTION_NOTIFY_COMPLETED, completed, nullptr, MHD_OPTION_END);
  freeKey(key);
  if (daemon == nullptr) {
    fprintf(stderr, "bare_server: listener on %u did not start\n", port);
    KestrovanPeers_free(peers);
    return 1;
  }
  signal(SIGINT, onStop);
  signal(SIGTERM, onStop);
  printf("bare_server: listening on %u\n", port);
  fflush(stdout);
  while (stopSignal == 0)
    pause();
  MHD_stop_daemon(daemon);
  KestrovanPeers_free(peers);
  return 0;
}
