#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# run.sh -- installs what is missing, builds, and runs the service in the
# foreground (Ctrl-C stops it).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KESTROVAN_BUILD_ROOT:-$root/build}/release"

bash "$root/scripts/setup.sh"
bash "$root/scripts/release.sh" "$out"

exe="$out/service/NORTAKestrovan"
if [ -x "$root/scripts/run.d/provision.sh" ]; then
  bash "$root/scripts/run.d/provision.sh" "$out"
fi
# The demo page, served from its own origin beside the service.
if [ -f "$root/scripts/run.d/demo.sh" ]; then
  . "$root/scripts/run.d/demo.sh"
fi
exec "$exe"
