// SPDX-License-Identifier: Apache-2.0
// service.h -- the local HTTPS service: start-up and shutdown, the six
// loopback listeners, request intake and its checks, the answers, main-thread
// mode with heartbeats, and the server's certificate and key.
//
// Owns: the listener handles and the exit status (startup), `KestrovanClose`
// and `KestrovanProcessID` (mainthread),
// the connection table and each listener's peer-check closure (listener,
// peers: the closure under its own lock), the ports found held by another
// user at start (peers, main thread only), the console user recorded at
// start (console), the main-thread hand-off and
// the interruptible sleep (mainthread), the per-request contexts (intake) and
// the server key (key: the user's key file, read by key_file; the sealed
// built-in key only for an older certificate). A request's map, origin,
// referer and result live in that request's own context; only the
// main-thread hand-off is shared between threads, under its own mutex.
// Stopping is told in startup.h.
//
// Depends on session/ (the dispatcher), params/ (maps), crypto/ (opening the
// key), support/, platform/, libmicrohttpd and GnuTLS.
#ifndef KESTROVAN_SERVICE_SERVICE_H
#define KESTROVAN_SERVICE_SERVICE_H

#include "service/console.h"
#include "service/intake.h"
#include "service/key.h"
#include "service/listener.h"
#include "service/mainthread.h"
#include "service/peers.h"
#include "service/request.h"
#include "service/response.h"
#include "service/startup.h"

#endif
