// SPDX-License-Identifier: Apache-2.0
// main.cpp -- the NORTAKestrovan executable.
#include "service/service.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  return KestrovanService_main();
}
