// SPDX-License-Identifier: Apache-2.0
// log_start.h -- turning on the trace's log mirror (log_start.cpp).
#ifndef KESTROVAN_SUPPORT_LOG_START_H
#define KESTROVAN_SUPPORT_LOG_START_H

// Configures the log mirror once from the profile "$HOME/<logName>/<logName>.ini"
// (read only when that folder is private to this user); returns isLogEnable.
bool setLog(const char* logName, const char* prefixName);

#endif
