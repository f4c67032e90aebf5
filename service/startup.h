// SPDX-License-Identifier: Apache-2.0
// startup.h -- start-up, the main-thread loop and the end of the service
// (startup.cpp).
//
// Stopping: stop signals are blocked in every thread and taken
// by a signal thread of their own; a stop watch then quiesces the listeners
// (no new connections), runs KestrovanFinal on a thread of its own and ends
// the process, exit status kept, when the main thread has not finished the
// shutdown within KESTROVAN_FINAL_GRACE_MS + KESTROVAN_SHUTDOWN_LIMIT_MS (an
// adapter call that never returns holds the main thread or a listener
// thread). Its mutex guards the listener handles, the ports and the
// progress of the end lines, which are printed once, in order, by whichever
// of the two ends the service.
#ifndef KESTROVAN_SERVICE_STARTUP_H
#define KESTROVAN_SERVICE_STARTUP_H

#include <atomic>
#include <string>

// How long, after KestrovanFinal, the listeners and the main thread may take
// to stop before the process ends without them (an adapter call that does
// not return holds a listener thread or the main thread).
#define KESTROVAN_SHUTDOWN_LIMIT_MS 2000

// Ends the service from any thread: releases every adapter, sets
// KestrovanClose (mainthread.h) and wakes every sleeper. May run more than
// once. Start-up hands it to intake as the hook a request that must end
// the service calls (KestrovanIntake_setFinalHook).
void KestrovanFinal();

// A stable machine identifier text, only printed in the banner. Returns 0;
// leaves out unchanged when there is none.
int getUUID(std::string& out);

// The whole of main: start-up, the main-thread loop, shutdown. Returns the
// exit status: 0 after an orderly stop, 1 or 2 after a start-up failure.
int KestrovanService_main();

#endif
