// SPDX-License-Identifier: Apache-2.0
// load_test.cpp -- a modest mixed load (20,000 requests over all six
// listeners, with and without keep-alive) in which every answer must be its
// own request's and every stored value must read back intact; the service's
// descriptors return to where they were. bench/soak runs the same load
// longer and reports the figures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "hardening.h"
#include "load.h"

namespace {

TEST(Load, TwentyThousandMixedRequestsEachGetTheirOwnAnswer) {
  kh::Running running;
  ASSERT_TRUE(running.ok) << running.service.output();
  running.post(kh::echoJson(), "https://warm.example");
  kh::LoadOptions options;
  options.caFile = running.installation->caFile;
  options.service = running.service.pid();
  options.requests = 20000;
  kh::LoadReport report = kh::runLoad(options);
  sleep(2);
  report.rssAfterKb = kh::residentKb(options.service);
  report.fdsAfter = kh::openFds(options.service);
  for (int i = 0; i < 100 && report.fdsAfter > report.fdsBefore; i++) {
    usleep(100000);
    report.fdsAfter = kh::openFds(options.service);
  }
  printf("%s", report.text().c_str());
  EXPECT_EQ(report.failed, 0u) << report.text();
  EXPECT_EQ(report.crossTalk, 0u);
  EXPECT_EQ(report.lostValues, 0u);
  EXPECT_GE(report.done, options.requests);
  EXPECT_GT(report.evictions, 0u) << "the load was meant to evict sessions";
  EXPECT_GT(report.mainThread, 0u);
  EXPECT_LE(report.fdsAfter, report.fdsBefore) << report.text();
  EXPECT_EQ(running.service.stop(), 0) << kh::tail(running.service);
}

}  // namespace
