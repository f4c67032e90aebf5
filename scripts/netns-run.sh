#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# netns-run.sh CMD [ARGS...] -- runs a test in a network namespace of its own
# with only loopback up. The service's ports are fixed, so this keeps a test
# from meeting a service that another test run, a developer or the user
# started on the same machine (and keeps it from disturbing them). Where a
# namespace cannot be made (not root, no unshare), the command runs as is.
set -euo pipefail
if [ "${KESTROVAN_NO_NETNS:-0}" != 1 ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null \
   && command -v ip >/dev/null && unshare --net true 2>/dev/null; then
  exec unshare --net bash -c 'ip link set lo up && exec "$@"' netns-run "$@"
fi
exec "$@"
