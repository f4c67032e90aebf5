#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# in-mount-namespace.sh CMD [ARGS...] -- runs CMD in a mount namespace of its
# own (mounts it makes are seen by it and its children only), with
# KESTROVAN_OUTER_MOUNT_NS naming the namespace it came from, so that CMD can
# check it is not in the machine's before it mounts anything.
set -euo pipefail
KESTROVAN_OUTER_MOUNT_NS="$(readlink /proc/self/ns/mnt)"
export KESTROVAN_OUTER_MOUNT_NS
exec unshare --mount --propagation private "$@"
