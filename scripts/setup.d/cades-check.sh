#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# cades-check.sh -- installs pkijs for the PKI adapter's signature tests
# (tests/adapters_pki/cades-check: a CMS and timestamp implementation that
# shares no code with the adapter), at the version its package-lock.json pins.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
dir="$root/tests/adapters_pki/cades-check"

if ! command -v npm >/dev/null; then
  echo "setup: npm is missing (it comes with the nodejs package)" >&2
  exit 1
fi
installed="$dir/node_modules/.package-lock.json"
if [ ! -f "$installed" ] || [ "$dir/package-lock.json" -nt "$installed" ]; then
  echo "setup: installing the signature tests' npm packages"
  (cd "$dir" && npm ci --no-audit --no-fund)
fi
