// SPDX-License-Identifier: Apache-2.0
// activation.h -- started on demand: the listening sockets a service manager
// handed over (a user's kestrovan.socket unit holds the six addresses, and
// the first connection starts the service), and the end after a quiet
// period, after which the next connection starts it again.
//
// A plain start (no sockets handed over) binds its own sockets and never
// ends by itself for being quiet: nothing would start it again.
//
// The quiet watch is one thread, only under socket activation. It sleeps a
// whole period at a time and looks once at its end: no session open, no
// live value in the value store, no connection open and none admitted since
// its last look. Then it ends the service as a stop signal does. So the
// service ends between one and two quiet periods after its last use, and
// while pages hold sessions it wakes once a period.
#ifndef KESTROVAN_SERVICE_ACTIVATION_H
#define KESTROVAN_SERVICE_ACTIVATION_H

#include <cstdint>

struct sockaddr;

// The quiet period, seconds, when KESTROVAN_QUIET_EXIT_SECONDS does not
// say otherwise (0 there: never end for being quiet).
#define KESTROVAN_QUIET_EXIT_DEFAULT_S 300

// Takes the handed-over sockets (once, before the first listener starts)
// and prints the mode line. Sockets that are not TCP listeners of ours are
// closed.
void KestrovanActivation_take();
// Whether the service was started with sockets handed over.
bool KestrovanActivation_active();
// "socket activation" or "plain start".
const char* KestrovanActivation_mode();
// The handed-over socket listening on address (family, address and port
// equal), or -1: the listener then binds its own.
int KestrovanActivation_socketFor(const struct sockaddr* address);
// Whether socket is one the service manager handed over: it is the
// manager's as much as ours, so stopping never shuts it down (connections
// waiting in it start the service again).
bool KestrovanActivation_handedOver(int socket);
// The quiet period in force (seconds; 0 never).
unsigned KestrovanActivation_quietSeconds();
// Starts the quiet watch when active and the period is not 0. When the
// service should end, the watch sends the process SIGTERM: it stops as for
// any stop signal (exit status 0).
void KestrovanActivation_startQuietWatch();

#endif
