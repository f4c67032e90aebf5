// SPDX-License-Identifier: Apache-2.0
/* adapter_host.h -- an adapter's side of the service's run-time hooks
 * (kestrovan/host.h): the SDK finds them once with dlsym(RTLD_DEFAULT, ...)
 * and answers 0 in a host that does not export them (a test harness, an
 * older service), so an adapter calls these without checking first.
 *
 * A call that waits for the user keeps the token of its call, taken on the
 * thread the service called it on, and asks now and then (from any thread)
 * whether anybody still waits for its answer; once not, it ends its wait
 * and answers as if the user had cancelled.
 */
#ifndef KESTROVAN_ADAPTER_HOST_H
#define KESTROVAN_ADAPTER_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* On the thread running the adapter call: the token naming it, 0 when the
 * host follows no calls. */
uint64_t KestrovanAdapter_callToken(void);
/* From any thread: 1 once the call named by token was abandoned (its page
 * went away, or the service is stopping), else 0; 0 for token 0 and in a
 * host without the hooks. */
int KestrovanAdapter_callAbandoned(uint64_t token);
/* The folder the service was installed in (the adapter's installed folder
 * is below it, named as in the path table): 1 with it in out, 0 in a host
 * that does not tell (the adapter was then loaded from where it lies). */
int KestrovanAdapter_hostInstallFolder(char* out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
