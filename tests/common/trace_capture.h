// SPDX-License-Identifier: Apache-2.0
// trace_capture.h -- reading back the console trace in tests.
#ifndef KESTROVAN_TESTS_COMMON_TRACE_CAPTURE_H
#define KESTROVAN_TESTS_COMMON_TRACE_CAPTURE_H

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

// The trace captured since testing::internal::CaptureStdout(), with the
// colour sequences removed.
inline std::string captured() {
  fflush(stdout);
  std::string raw = testing::internal::GetCapturedStdout();
  std::string plain;
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\033') {
      while (i < raw.size() && raw[i] != 'm')
        i++;
      continue;
    }
    plain += raw[i];
  }
  return plain;
}

#endif
