// mainthread.h -- main-thread mode: the hand-off of one call from a listener
// thread to the process's main thread, the listener-side wait with its
// heartbeat answer, and the interruptible sleep that shutdown cuts short.
//
// The hand-off is the only request state shared between threads. It holds at
// most one call: its own parameter map and origin while the call is pending
// or running, then its result until a request collects it. One mutex guards
// it; both sides poll every 100 ms, as a page's call may be long.
//
// Rules it keeps:
//   - the call owns its map and origin until it returns, whatever happens to
//     the request that started it;
//   - a heartbeat answer is a map of its own and never carries the result;
//   - a finished result is handed out exactly once, and only to a request
//     from the same origin as the call (a page never collects another page's
//     result); one left uncollected for KESTROVAN_RESULT_KEEP_SECONDS is
//     dropped so that other pages are not blocked for ever.
#ifndef KESTROVAN_SERVICE_MAINTHREAD_H
#define KESTROVAN_SERVICE_MAINTHREAD_H

#include "include/kestrovan/adapter.h"

// Poll period of both sides, in milliseconds.
#define KESTROVAN_MAIN_THREAD_POLL_MS 100
// Wait limit of a listener, in whole seconds of a monotonic clock (so that
// a wait ends after 6 to 7 seconds).
#define KESTROVAN_MAIN_THREAD_WAIT_SECONDS 7
// How long a finished result waits for its page before it is dropped.
#define KESTROVAN_RESULT_KEEP_SECONDS 120

typedef KestrovanJsonMap* (*KestrovanDispatchFunction)(unsigned int processId, KestrovanJsonMap* map,
                                                       const char* origin);

// Sleeps up to duration milliseconds; returns at once after cv_finalize().
void cv_sleep(int duration);
// Wakes every sleeper; every later cv_sleep returns at once.
void cv_finalize();

// Listener side. Starts a call with *map and origin when the hand-off is
// free (it then takes *map and sets it to null; origin is copied); else
// waits, and starts its call as soon as the hand-off becomes free. Waits up
// to about 7 seconds and returns the call's result when a call of this
// origin finished, else a new map with "result" "heartbeat". Null when no
// map could be made (nothing is then sent). The caller owns the returned
// map, and *map when it is still set.
KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin);

// Main-thread side: runs the pending call, if there is one, with dispatch.
// Returns true when it ran a call.
bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch);

// Drops a call that never ran and a result nobody collected (at shutdown).
void KestrovanMainThread_reset();

#endif
