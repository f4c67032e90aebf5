// SPDX-License-Identifier: Apache-2.0
// fuzz_util.h -- small helpers shared by the fuzz targets.
#ifndef KESTROVAN_FUZZ_FUZZ_UTIL_H
#define KESTROVAN_FUZZ_FUZZ_UTIL_H

#include <fcntl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A property of the code under test that does not hold: print it and abort,
// which libFuzzer (and the replay driver's ctest run) report as a crash.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      fprintf(stderr, "fuzz check failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      abort();                                                                             \
    }                                                                                      \
  } while (0)

// The console trace goes to standard output; at millions of inputs it only
// slows the search down. libFuzzer reports on standard error.
// KESTROVAN_FUZZ_TRACE=1 keeps it (for reading what a reproducer does).
static inline void KestrovanFuzz_quietTrace() {
  if (getenv("KESTROVAN_FUZZ_TRACE") != nullptr)
    return;
  fflush(stdout);
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

// A text of at most most bytes for code that takes C strings: it ends at its
// first zero byte.
static inline std::string KestrovanFuzz_text(FuzzedDataProvider& input, size_t most) {
  std::string s = input.ConsumeRandomLengthString(most);
  s.resize(strnlen(s.c_str(), s.size()));
  return s;
}

#endif
