// SPDX-License-Identifier: Apache-2.0
// mainthread.h -- main-thread mode: the hand-off of calls from listener
// threads to the process's main thread, the waits of the requests that asked
// for them (their connections suspended, never a listener thread), the
// heartbeat answer, the hooks adapters ask whether their call was abandoned,
// and the interruptible sleep that shutdown cuts short.
//
// The hand-off is the only request state shared between threads: a table of
// KESTROVAN_MAIN_THREAD_CALLS entries, each a call that is pending, running
// on the main thread, or finished with its result waiting for its caller,
// and a list of waits, one per request whose connection is suspended until
// its call's result is ready, its heartbeat time passed, its page hung up,
// or the service stops. One mutex guards both; the main thread sleeps on a
// condition variable beside it until a call is pending or the service
// stops. The waits are ended by one small thread (the waiter) that exists
// only while some wait is suspended: it sleeps until the nearest heartbeat
// time, a change of the table, or a hang-up of a suspended connection, and
// resumes the connections whose wait is over. Nothing polls: an idle service
// makes no wake-ups.
//
// A caller is named by three texts: the page's origin, the request's
// "SessionId" (empty when the call opens a new session) and the request's
// KESTROVAN_CALL_ID_KEY (empty when the page sends none). Rules it keeps:
//   - a finished result is handed out exactly once, and only to a request
//     whose three texts all equal the call's: another site, another session
//     of the same site, or another call identifier never gets it;
//   - a request whose caller already has a call in the table starts nothing:
//     it waits for that call and collects its result, so a page's retries
//     after a heartbeat run the call once;
//   - calls run one at a time on the main thread. The next one is the oldest
//     pending call of the registrable domain (KestrovanMainThread_domainOf)
//     served least recently, so a site's call waits behind at most one call
//     of each other domain; each owns its map and origin until it returns,
//     whatever happens to the request that started it;
//   - a heartbeat answer is a map of its own and never carries a result;
//   - room: one session (origin and "SessionId") holds at most
//     KESTROVAN_MAIN_THREAD_CALLS_PER_SESSION entries and one registrable
//     domain KESTROVAN_MAIN_THREAD_CALLS_PER_DOMAIN. A new call that finds
//     its session's or domain's share taken, or the table full, drops the
//     oldest finished result (of that session or domain, else of anyone) with
//     the warning "Main thread result not collected: " "Dropped". Only when
//     there is none to drop does it wait for room, like any other wait, and
//     is answered "heartbeat" when none came. A result left uncollected for
//     KESTROVAN_RESULT_KEEP_SECONDS is dropped the same way.
// Without a call identifier, the session-opening calls of one origin (empty
// "SessionId") share one caller name; the page library always sends one.
#ifndef KESTROVAN_SERVICE_MAINTHREAD_H
#define KESTROVAN_SERVICE_MAINTHREAD_H

#include <atomic>

#include <cstddef>
#include <cstdint>

#include "include/kestrovan/adapter.h"

// Wait limit of a request, in seconds of a monotonic clock: then it is
// answered "heartbeat".
#define KESTROVAN_MAIN_THREAD_WAIT_SECONDS 7
// How long a finished result waits for its caller before it is dropped.
#define KESTROVAN_RESULT_KEEP_SECONDS 120
// Entries of the table (pending, running and finished calls together), and
// how many of them the calls of one session and of one registrable domain
// may hold.
#define KESTROVAN_MAIN_THREAD_CALLS 16
#define KESTROVAN_MAIN_THREAD_CALLS_PER_SESSION 3
#define KESTROVAN_MAIN_THREAD_CALLS_PER_DOMAIN 6
// A running call is abandoned (KestrovanHost_callAbandoned) when no request
// of its caller waited for it during this many seconds: after its page's
// connection closed, or after its heartbeat answer.
#define KESTROVAN_ABANDON_SECONDS 3
// The request key a page names its call with: 1 to KESTROVAN_CALL_ID_MAX
// characters from A-Z a-z 0-9 "-" "_" "." ":". Any other non-empty value is
// answered with KESTROVAN_ERR_MISSING_KEY (61005) and starts nothing. Adapters
// receive it in the map like the main-thread marker and have no use for it.
#define KESTROVAN_CALL_ID_KEY "KestrovanCallId"
#define KESTROVAN_CALL_ID_MAX 64
// Longest registrable domain text (a host name is at most 253 characters).
#define KESTROVAN_DOMAIN_SIZE 256

typedef KestrovanJsonMap* (*KestrovanDispatchFunction)(unsigned int processId, KestrovanJsonMap* map,
                                                       const char* origin);

// True asks the main-thread loop to end. Written only by KestrovanFinal
// (startup.h), read by the loop and by the waits here.
extern std::atomic<bool> KestrovanClose;

// First argument of every dispatch; never changes.
extern const unsigned int KestrovanProcessID;

// Sleeps up to duration milliseconds; returns at once after cv_finalize().
void cv_sleep(int duration);
// Wakes every sleeper, the main thread and every wait of the hand-off; every
// later cv_sleep returns at once and no call starts any more.
void cv_finalize();
// Tells the hand-off that KestrovanClose was set: the main thread and the
// waits wake and end (cv_finalize does this too).
void KestrovanMainThread_closing();

// Makes what the waits need for the whole run (the waiter's wake pipe), so
// that the first wait opens no descriptor. Called once at start-up; the
// first wait does it otherwise.
void KestrovanMainThread_init();

// Shutdown begins (KestrovanFinal, before the adapters are released): from
// now on every call is abandoned (KestrovanHost_callAbandoned).
void KestrovanMainThread_stopping();

// One request's wait (listener side), owned by the hand-off.
struct KestrovanMainThreadWait;
// Resumes the waiting request (MHD_resume_connection); called once per
// suspended wait, by the waiter thread or by KestrovanMainThread_suspended,
// never under the hand-off's lock.
typedef void (*KestrovanMainThreadResume)(void* context);

// Listener side, first step of one request in main-thread mode. origin is
// the page's origin; the session id and call identifier are read from *map.
// When the caller has a call in the table the request waits for it;
// otherwise it starts a call with *map (taking it: *map becomes null; the
// texts are copied) as soon as there is room. Returns the answer when it is
// known at once (the caller's result already there, an unusable call
// identifier, the service stopping), with *wait null; otherwise null with
// *wait set, and the request must suspend its connection and then call
// KestrovanMainThread_suspended. socket is the connection's descriptor, whose
// hang-up ends the wait (-1: not watched). The caller owns *map when it is
// still set.
KestrovanJsonMap* KestrovanMainThread_begin(KestrovanJsonMap** map, const char* origin, int socket,
                                            KestrovanMainThreadResume resume, void* context,
                                            KestrovanMainThreadWait** wait);
// The connection of wait is suspended: from now on resume(context) may be
// called, at once when the wait is already over.
void KestrovanMainThread_suspended(KestrovanMainThreadWait* wait);
// After the resume: frees the wait and returns the answer, the caller's
// finished result or a new map with "result" "heartbeat". Null, with
// *hungUp true, when the page hung up (nothing is to be sent), or when no
// map could be made. The caller owns the returned map.
KestrovanJsonMap* KestrovanMainThread_end(KestrovanMainThreadWait* wait, bool* hungUp);
// The request ended without its resume having been used (its connection
// closed by the library): the wait is forgotten and freed.
void KestrovanMainThread_cancel(KestrovanMainThreadWait* wait);

// For callers that can block a thread (tools, tests): begin, wait on this
// thread, end. The answer as KestrovanMainThread_end gives it.
KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin);

// Main-thread side: runs the next pending call, if there is one, with
// dispatch. Returns true when it ran a call.
bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch);

// Main-thread side: sleeps until a call is pending, for at most duration
// milliseconds (no limit when negative); returns at once once KestrovanClose
// is set and announced (KestrovanMainThread_closing) or after cv_finalize().
void KestrovanMainThread_wait(int duration);

// Resumes every suspended wait and waits until the waiter thread ended: at
// shutdown, after KestrovanClose, before the listeners are stopped.
void KestrovanMainThread_releaseWaits();

// Drops every call that is not running and every result nobody collected
// (at shutdown, once no listener can start a call), and wakes the waiters.
void KestrovanMainThread_reset();

// The registrable domain of an origin's host ("https://a.b.example.co.uk:8443"
// gives "example.co.uk"), from the public suffix list; an IP address,
// localhost, a public suffix itself or an unreadable host is its own domain
// (the whole origin when it names no host). Written to out (size bytes,
// truncated, NUL-terminated).
void KestrovanMainThread_domainOf(const char* origin, char* out, size_t size);

// Hooks for adapters (include/kestrovan/host.h), exported by the executable:
// the token is the running call's serial on the main thread while it runs,
// 0 elsewhere; a call is abandoned when the service stops, or when for
// KESTROVAN_ABANDON_SECONDS no request of its caller waited for it.
extern "C" uint64_t KestrovanHost_callToken(void);
extern "C" int KestrovanHost_callAbandoned(uint64_t token);

#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
// Test builds only: moves the hand-off's clock forward, for waits, for the
// keeping of results and for abandonment alike.
void KestrovanMainThread_skipSeconds(unsigned int seconds);
// Test builds only: how many requests wait (for room, a pending or running
// call, or a result), and how many calls are in each state, so that a test
// waits for an arrival instead of sleeping for it.
struct KestrovanMainThreadCounts {
  int waits;
  int pending;
  int running;
  int finished;
};
KestrovanMainThreadCounts KestrovanMainThread_counts();
#endif

#endif
