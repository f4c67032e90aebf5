// SPDX-License-Identifier: Apache-2.0
// service_mode.h -- how this user's running service was started, for the
// doctor: by its socket unit (sockets handed over) or plainly.
#ifndef KESTROVAN_TOOLS_SERVICE_MODE_H
#define KESTROVAN_TOOLS_SERVICE_MODE_H

#include <string>

// "socket activation (process N)" or "plain start (process N)" for each
// NORTAKestrovan process of this user, "; "-separated; "" when none runs.
std::string KestrovanServiceMode_describe();

#endif
