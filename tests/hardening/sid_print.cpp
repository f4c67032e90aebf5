// SPDX-License-Identifier: Apache-2.0
// sid_print.cpp -- prints N session identifiers from the service's
// generator, one a line, after the second it started in ("T <seconds>").
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support/support.h"

int main(int argc, char** argv) {
  long count = argc > 1 ? atol(argv[1]) : 0;
  printf("T %ld\n", (long)time(nullptr));
  for (long i = 0; i < count; i++) {
    char* id = genUUID();
    if (id == nullptr)
      return 1;
    printf("%s\n", id);
    free(id);
  }
  return 0;
}
