// SPDX-License-Identifier: Apache-2.0
// replay_main.cpp -- stands in for libFuzzer's driver in ordinary builds: runs
// the target once on every file named on the command line and on every file
// in every folder named (hidden files skipped, names in sorted order), each in
// a heap block of exactly its size so that sanitizers see any overread.
// Exits non-zero when an argument cannot be read or no input was found; a
// failing input aborts inside the target, after its name has been printed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

static bool listInputs(const char* path, std::vector<std::string>* files) {
  struct stat info;
  if (stat(path, &info) != 0) {
    fprintf(stderr, "replay: %s: %s\n", path, strerror(errno));
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    files->push_back(path);
    return true;
  }
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    fprintf(stderr, "replay: %s: %s\n", path, strerror(errno));
    return false;
  }
  std::vector<std::string> found;
  for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    std::string file = std::string(path) + "/" + entry->d_name;
    if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode))
      found.push_back(file);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return true;
}

static bool readInput(const std::string& file, std::vector<uint8_t>* bytes) {
  FILE* in = fopen(file.c_str(), "rb");
  if (in == nullptr) {
    fprintf(stderr, "replay: %s: %s\n", file.c_str(), strerror(errno));
    return false;
  }
  bytes->clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), in)) > 0)
    bytes->insert(bytes->end(), buffer, buffer + n);
  bool ok = !ferror(in);
  fclose(in);
  return ok;
}

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr)
    LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) {
    if (!listInputs(argv[i], &files))
      return 2;
  }
  if (files.empty()) {
    fprintf(stderr, "replay: no inputs found\n");
    return 2;
  }
  std::vector<uint8_t> bytes;
  for (const std::string& file : files) {
    if (!readInput(file, &bytes))
      return 2;
    fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
    // Exactly the input's size (one byte for an empty input, passed as 0).
    uint8_t* copy = (uint8_t*)malloc(bytes.empty() ? 1 : bytes.size());
    if (copy == nullptr)
      return 2;
    if (!bytes.empty())
      memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    free(copy);
  }
  fprintf(stderr, "replay: %zu inputs, all passed\n", files.size());
  return 0;
}
