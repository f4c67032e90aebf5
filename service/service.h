// service.h -- the local HTTPS service: start-up and shutdown, the six
// loopback listeners, request intake and its checks, the answers, main-thread
// mode with heartbeats, and the server's certificate and key.
//
// Owns: `KestrovanClose`, the listener handles and the exit status (startup),
// the table of the accept policy's closures, one per running listener, each
// under its own lock (listener, peers), the ports found held by another user
// at start (peers, main thread only), the console user recorded at start
// (console), the main-thread hand-off and the interruptible sleep
// (mainthread), the per-request contexts (intake) and the sealed server key
// (key). A request's map, origin, referer and result
// live in that request's own context; only the main-thread hand-off is shared
// between threads, under its own mutex.
//
// Depends on session/ (the dispatcher), params/ (maps), crypto/ (opening the
// key), support/, platform/, libmicrohttpd and GnuTLS.
#ifndef KESTROVAN_SERVICE_SERVICE_H
#define KESTROVAN_SERVICE_SERVICE_H

#include <atomic>
#include <string>

#include "service/console.h"
#include "service/intake.h"
#include "service/key.h"
#include "service/listener.h"
#include "service/mainthread.h"
#include "service/peers.h"
#include "service/response.h"

// True asks the main-thread loop to end. Written only by KestrovanFinal.
extern std::atomic<bool> KestrovanClose;

// Ends the service from any thread: releases every adapter, sets
// KestrovanClose and wakes every sleeper. May run more than once.
void KestrovanFinal();

// A stable machine identifier text, only printed in the banner. Returns 0;
// leaves out unchanged when there is none.
int getUUID(std::string& out);

// The whole of main: start-up, the main-thread loop, shutdown. Returns the
// exit status: 0 after an orderly stop, 1 or 2 after a start-up failure.
int KestrovanService_main();

#endif
