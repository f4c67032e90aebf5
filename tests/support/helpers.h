// SPDX-License-Identifier: Apache-2.0
// helpers.h -- test helpers for the support library: capturing standard
// output, temporary folders and files, and running a check in a child
// process (the log can be configured only once per process).
#ifndef KESTROVAN_TESTS_SUPPORT_HELPERS_H
#define KESTROVAN_TESTS_SUPPORT_HELPERS_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace kestrovan_test {

// Everything the function writes to standard output.
inline std::string captureStdout(const std::function<void()>& body) {
  fflush(stdout);
  char name[] = "/tmp/kestrovan-capture-XXXXXX";
  int file = mkstemp(name);
  if (file < 0)
    return "<capture failed>";
  unlink(name);
  int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  char buffer[4096];
  lseek(file, 0, SEEK_SET);
  for (ssize_t got; (got = read(file, buffer, sizeof(buffer))) > 0;)
    text.append(buffer, (size_t)got);
  close(file);
  return text;
}

inline std::string readAll(const std::string& path) {
  std::string text;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr)
    return text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof(buffer), file)) > 0;)
    text.append(buffer, got);
  fclose(file);
  return text;
}

inline void writeAll(const std::string& path, const std::string& text) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(fwrite(text.data(), 1, text.size(), file), text.size());
  fclose(file);
}

// A fresh 0700 folder under /tmp, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/kestrovan-test-XXXXXX";
    if (mkdtemp(name) != nullptr)
      path_ = name;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string command = "rm -rf '" + path_ + "'";
      if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs body in a forked child; the child's failed expectations print as
// usual and make this test fail through its exit status.
inline void runInChild(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child process reported failures (see above)";
}

}  // namespace kestrovan_test

#endif
