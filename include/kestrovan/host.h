// SPDX-License-Identifier: Apache-2.0
/* host.h -- what the service offers its adapters while they run, found at
 * run time: an adapter links nothing of the service, so it looks these up
 * with dlsym(RTLD_DEFAULT, name) and does without them in a host that does
 * not export them (a test harness, an older service).
 *
 * A call that waits for the user (a dialog) should end when nobody waits
 * for its answer any more: the page that asked went away, or the service
 * is stopping. The service names each adapter call with a token, readable
 * on the thread that runs the call; any thread may then ask whether that
 * call was abandoned.
 */
#ifndef KESTROVAN_HOST_H
#define KESTROVAN_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported by the service executable. */
#define KESTROVAN_HOST_CALL_TOKEN "KestrovanHost_callToken"
#define KESTROVAN_HOST_CALL_ABANDONED "KestrovanHost_callAbandoned"

/* On the thread running an adapter call: a token naming that call, never
 * reused during the service's run; 0 when the thread runs no call the host
 * can follow. */
typedef uint64_t (*KestrovanHostCallTokenFunction)(void);
/* From any thread: 1 once the call named by token is abandoned (the page's
 * connection closed and the page did not come back for the call within a
 * few seconds, or the service is stopping), else 0. 0 for token 0. */
typedef int (*KestrovanHostCallAbandonedFunction)(uint64_t token);

#ifdef __cplusplus
}
#endif

#endif
