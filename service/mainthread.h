// mainthread.h -- main-thread mode: the hand-off of calls from listener
// threads to the process's main thread, the listener-side wait with its
// heartbeat answer, and the interruptible sleep that shutdown cuts short.
//
// The hand-off is the only request state shared between threads: a table of
// KESTROVAN_MAIN_THREAD_CALLS entries, each a call that is pending, running
// on the main thread, or finished with its result waiting for its caller.
// One mutex guards the whole table; one condition variable beside it is
// signalled when a call arrives (the main thread wakes), when a call
// finishes or an entry is freed (waiting listeners wake), and at shutdown.
// Both sides still wake every KESTROVAN_MAIN_THREAD_POLL_MS as a fallback.
//
// A caller is named by three texts: the page's origin, the request's
// "SessionId" (empty when the call opens a new session) and the request's
// KESTROVAN_CALL_ID_KEY (empty when the page sends none). Rules it keeps:
//   - a finished result is handed out exactly once, and only to a request
//     whose three texts all equal the call's: another site, another session
//     of the same site, or another call identifier never gets it;
//   - a request whose caller already has a call in the table starts nothing:
//     it waits for that call and collects its result, so a page's retries
//     after a heartbeat run the call once; other requests start a call of
//     their own at once, whatever results wait for other callers;
//   - calls run one at a time on the main thread, in arrival order; each
//     owns its map and origin until it returns, whatever happens to the
//     request that started it;
//   - a heartbeat answer is a map of its own and never carries a result;
//   - a result left uncollected for KESTROVAN_RESULT_KEEP_SECONDS is dropped
//     with a warning line; a fresh one is never dropped to make room. When
//     the table is full, or an origin already holds
//     KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN entries, a new call waits for
//     room like any other wait and is answered "heartbeat" when none came,
//     so one site cannot fill the table for the others.
// Without a call identifier, the session-opening calls of one origin (empty
// "SessionId") share one caller name; the page library always sends one.
#ifndef KESTROVAN_SERVICE_MAINTHREAD_H
#define KESTROVAN_SERVICE_MAINTHREAD_H

#include "include/kestrovan/adapter.h"

// Fallback wake-up period of both sides, in milliseconds.
#define KESTROVAN_MAIN_THREAD_POLL_MS 100
// Wait limit of a listener, in whole seconds of a monotonic clock (so that
// a wait ends after 6 to 7 seconds).
#define KESTROVAN_MAIN_THREAD_WAIT_SECONDS 7
// How long a finished result waits for its caller before it is dropped.
#define KESTROVAN_RESULT_KEEP_SECONDS 120
// Entries of the table (pending, running and finished calls together), and
// how many of them the calls of one origin may hold.
#define KESTROVAN_MAIN_THREAD_CALLS 16
#define KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN 8
// The request key a page names its call with: 1 to KESTROVAN_CALL_ID_MAX
// characters from A-Z a-z 0-9 "-" "_" "." ":". Any other non-empty value is
// answered with KESTROVAN_ERR_MISSING_KEY (61005) and starts nothing. Adapters
// receive it in the map like the main-thread marker and have no use for it.
#define KESTROVAN_CALL_ID_KEY "KestrovanCallId"
#define KESTROVAN_CALL_ID_MAX 64

typedef KestrovanJsonMap* (*KestrovanDispatchFunction)(unsigned int processId, KestrovanJsonMap* map,
                                                       const char* origin);

// Sleeps up to duration milliseconds; returns at once after cv_finalize().
void cv_sleep(int duration);
// Wakes every sleeper and every waiter of the hand-off; every later cv_sleep
// and hand-off wait returns at once.
void cv_finalize();

// Listener side, for one request in main-thread mode. origin is the page's
// origin; the session id and call identifier are read from *map. When the
// caller has a call in the table, waits for it; otherwise starts a call
// with *map (taking it: *map becomes null; the texts are copied) as soon as
// there is room. Waits up to about 7 seconds, less at shutdown. Returns the
// caller's finished result, else a new map with "result" "heartbeat" (or
// "result" 61005 for an unusable call identifier). Null when no map could
// be made (nothing is then sent). The caller owns the returned map, and *map
// when it is still set.
KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin);

// Main-thread side: runs the oldest pending call, if there is one, with
// dispatch. Returns true when it ran a call.
bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch);

// Main-thread side: sleeps until a call is pending, for at most duration
// milliseconds; returns at once once KestrovanClose is set or after
// cv_finalize().
void KestrovanMainThread_wait(int duration);

// Drops every call that is not running and every result nobody collected
// (at shutdown, once no listener can start a call), and wakes the waiters.
void KestrovanMainThread_reset();

#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
// Test builds only: moves the hand-off's clock forward, for waits and for the
// keeping of results alike.
void KestrovanMainThread_skipSeconds(unsigned int seconds);
#endif

#endif
