// SPDX-License-Identifier: Apache-2.0
// ports.h -- the loopback ports the service listens on, in the order pages
// try them: the one definition the service, the doctor and the page
// library (clients/js, made by scripts/codes.py) take them from.
#ifndef KESTROVAN_SERVICE_PORTS_H
#define KESTROVAN_SERVICE_PORTS_H

#define KESTROVAN_PORT_FIRST 56459
#define KESTROVAN_PORT_SECOND 56559
#define KESTROVAN_PORT_THIRD 56659

#define KESTROVAN_PORT_TEXT(port) #port
#define KESTROVAN_PORT_WORD(port) KESTROVAN_PORT_TEXT(port)
// "port=56459 56559 56659": the setting start-up reads its ports from.
#define KESTROVAN_PORT_SETTING                                                                \
  "port=" KESTROVAN_PORT_WORD(KESTROVAN_PORT_FIRST) " " KESTROVAN_PORT_WORD(KESTROVAN_PORT_SECOND) " " \
      KESTROVAN_PORT_WORD(KESTROVAN_PORT_THIRD)

#endif
