// SPDX-License-Identifier: Apache-2.0
// probe.cpp -- the request-path benchmark's small measurements.
//
//   request_probe startup RUNS EXE
//       starts EXE RUNS times (HOME as given), each time measuring from the
//       start to the console line "NORTAKestrovan initialization: Success",
//       then stops it with SIGTERM; prints "startup_ms p50 max".
//   request_probe requests COUNT URL BODY_FILE ORIGIN
//       COUNT POSTs of the form body in BODY_FILE over one keep-alive
//       connection (verification off: the benchmark's own certificate);
//       prints "requests_ms p50 p99 max failures N p95 P" and the last answer on stderr.
//
// Nothing here asserts a time.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <curl/curl.h>

#include "service/ports.h"

extern char** environ;

namespace {

double percentile(std::vector<double> values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t index = (size_t)(p * (double)(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Drops ANSI colour sequences.
std::string plain(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\033') {
      while (i < text.size() && text[i] != 'm')
        i++;
      continue;
    }
    out += text[i];
  }
  return out;
}

int startup(int runs, const char* exe) {
  std::vector<double> times;
  for (int run = 0; run < runs; run++) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
      return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    char* argv[] = {(char*)exe, nullptr};
    pid_t pid = -1;
    auto start = std::chrono::steady_clock::now();
    int spawned = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
      close(pipeFds[0]);
      return 1;
    }
    std::string seen;
    bool found = false;
    char buffer[4096];
    for (;;) {
      ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      seen.append(buffer, (size_t)n);
      if (plain(seen).find("NORTAKestrovan initialization: Success") != std::string::npos) {
        found = true;
        break;
      }
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    kill(pid, SIGTERM);
    while (read(pipeFds[0], buffer, sizeof(buffer)) > 0) {
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!found) {
      fprintf(stderr, "request_probe: no start line\n%s\n", plain(seen).c_str());
      return 1;
    }
    times.push_back(ms);
  }
  printf("startup_ms %.1f %.1f\n", percentile(times, 0.5), percentile(times, 1.0));
  return 0;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  ((std::string*)user)->append(data, size * count);
  return size * count;
}

int requests(int count, const char* url, const char* bodyFile, const char* origin) {
  std::string body;
  FILE* file = fopen(bodyFile, "rb");
  if (file == nullptr)
    return 1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    body.append(buffer, n);
  fclose(file);
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
    body.pop_back();

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* curl = curl_easy_init();
  std::string originHeader = std::string("Origin: ") + origin;
  struct curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, originHeader.c_str());
  headers = curl_slist_append(headers, "Host: localhost:" KESTROVAN_PORT_WORD(KESTROVAN_PORT_FIRST));
  headers = curl_slist_append(headers, "Connection: keep-alive");
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  std::vector<double> times;
  int failures = 0;
  for (int i = 0; i < count; i++) {
    answer.clear();
    auto start = std::chrono::steady_clock::now();
    CURLcode code = curl_easy_perform(curl);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK || status != 200) {
      failures++;
      continue;
    }
    // The first request also pays for the TLS handshake.
    if (i > 0 || count == 1)
      times.push_back(ms);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  fprintf(stderr, "%s\n", answer.c_str());
  // p95 last, so that readers of the first fields are unchanged.
  printf("requests_ms %.3f %.3f %.3f failures %d p95 %.3f\n", percentile(times, 0.5), percentile(times, 0.99),
         percentile(times, 1.0), failures, percentile(times, 0.95));
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "startup") == 0)
    return startup(atoi(argv[2]), argv[3]);
  if (argc == 6 && strcmp(argv[1], "requests") == 0)
    return requests(atoi(argv[2]), argv[3], argv[4], argv[5]);
  fprintf(stderr, "usage: request_probe startup RUNS EXE | requests COUNT URL BODY_FILE ORIGIN\n");
  return 2;
}
