#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# build.sh DIR [cmake options...] -- configures and builds one build tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$1"; shift
jobs="${KESTROVAN_JOBS:-$(nproc)}"
cmake -S "$root" -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j "$jobs" ${KESTROVAN_TARGET:+--target "$KESTROVAN_TARGET"}
