// SPDX-License-Identifier: Apache-2.0
// soak.cpp -- the bounded soak: the hardening load (tests/hardening/load.h)
// run long against a fresh installation of the real service, with resident
// memory and open descriptors before, during and after, and a second idle
// reading to show nothing grows once the load has ended.
//
//   kestrovan_soak [REQUESTS] [WORKERS]     (defaults 100000 and 12)
//
// Exits 1 when any request failed, an answer was not its own, or a value did
// not read back intact.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "hardening.h"
#include "load.h"

int main(int argc, char** argv) {
  kh::LoadOptions options;
  options.requests = argc > 1 ? strtoul(argv[1], nullptr, 10) : 100000;
  options.workers = argc > 2 ? atoi(argv[2]) : 12;
  kh::Running running;
  if (!running.ok) {
    fprintf(stderr, "the service did not start\n%s\n", running.service.output().c_str());
    return 2;
  }
  running.post(kh::echoJson(), "https://warm.example");
  options.caFile = running.installation->caFile;
  options.service = running.service.pid();
  kh::LoadReport report = kh::runLoad(options);
  sleep(5);
  report.rssAfterKb = kh::residentKb(options.service);
  report.fdsAfter = kh::openFds(options.service);
  printf("%s", report.text().c_str());
  sleep(10);
  printf("15 s after the load: resident memory %ld kB, open descriptors %d\n", kh::residentKb(options.service),
         kh::openFds(options.service));
  bool clean = report.failed == 0 && report.crossTalk == 0 && report.lostValues == 0;
  int status = running.service.stop();
  printf("service exit status %d\n", status);
  return clean && status == 0 ? 0 : 1;
}
