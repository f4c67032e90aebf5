// SPDX-License-Identifier: Apache-2.0
// load.h -- a mixed load against a running service, with every answer
// checked for belonging to its own request. Used by the load test (a
// modest count, in ctest) and by bench/soak (the long run).
//
// Each worker plays one page (its own origin) on one of the six listeners,
// keeping a few sessions open, and mixes: adapter calls whose answer must
// be the text it sent, values stored under its own origin and read back,
// built-in echoes, session close and reopen (with more sessions open than
// the 32 slots, so the oldest are evicted), requests without a session, and
// now and then a main-thread call.
#ifndef KESTROVAN_TESTS_HARDENING_LOAD_H
#define KESTROVAN_TESTS_HARDENING_LOAD_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kh {

struct LoadOptions {
  std::string caFile;
  pid_t service = -1;          // sampled for memory and descriptors
  size_t requests = 20000;     // in all workers together
  int workers = 12;            // two per listener
  int sessionsPerWorker = 3;   // 12 x 3 > 32: evictions happen
  bool keepAliveForOdd = true; // odd workers reuse their connection, even ones do not
};

struct LoadReport {
  size_t done = 0;        // answered 200 and checked
  size_t failed = 0;      // no answer, wrong status, or a check failed
  size_t crossTalk = 0;   // an answer that was not this request's
  size_t lostValues = 0;  // a stored value read back different
  size_t evictions = 0;   // calls answered "invalid session" (evicted) and reopened
  size_t mainThread = 0;  // main-thread calls that delivered their result
  size_t heartbeats = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
  double seconds = 0;
  long rssBeforeKb = 0, rssPeakKb = 0, rssAfterKb = 0;
  int fdsBefore = 0, fdsPeak = 0, fdsAfter = 0;
  std::vector<std::string> firstErrors;  // up to 10
  std::string text() const;
};

LoadReport runLoad(const LoadOptions& options);

}  // namespace kh

#endif
