// SPDX-License-Identifier: Apache-2.0
// console.h -- the console user: recorded once at start-up, compared on every
// request, so that a service left running by one user never serves the page
// of another user who has taken over the console.
#ifndef KESTROVAN_SERVICE_CONSOLE_H
#define KESTROVAN_SERVICE_CONSOLE_H

#include <cstdint>

// Reads the user id of the active console session. False when there is none
// (no active seat), in which case the check is skipped.
bool KestrovanConsole_read(int32_t* uid);

// Records the reference user at start-up. Without an active console session
// the reference is the service's own user, so that a session that becomes
// active later is still compared with the right user.
void KestrovanConsole_record();

// The recorded reference user (0 before KestrovanConsole_record).
int32_t KestrovanConsole_recorded();

// Compares the current console user with the recorded one and prints
// "Org_User: " and "Check_User: ". True when they are the same or when there
// is no active console session; false when another user has the console.
bool KestrovanConsole_check();

#endif
