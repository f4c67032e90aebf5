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

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported by the service executable. */
#define KESTROVAN_HOST_CALL_TOKEN "KestrovanHost_callToken"
#define KESTROVAN_HOST_CALL_ABANDONED "KestrovanHost_callAbandoned"
#define KESTROVAN_HOST_INSTALL_FOLDER "KestrovanHost_installFolder"

/* On the thread running an adapter call: a token naming that call, never
 * reused during the service's run; 0 when the thread runs no call the host
 * can follow. */
typedef uint64_t (*KestrovanHostCallTokenFunction)(void);
/* From any thread: 1 once the call named by token is abandoned (the page's
 * connection closed and the page did not come back for the call within a
 * few seconds, or the service is stopping), else 0. 0 for token 0. */
typedef int (*KestrovanHostCallAbandonedFunction)(uint64_t token);
/* The folder the service's executable was installed in, under which each
 * adapter's installed folder lies (the path table's folder names). An
 * adapter runs from a private copy elsewhere, so this is how it finds the
 * files installed beside it. Writes it, NUL-terminated, to out (size
 * bytes) and returns 1; 0 when it is not known or does not fit. */
typedef int (*KestrovanHostInstallFolderFunction)(char* out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
