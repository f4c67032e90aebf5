#!/usr/bin/env bash
# run.sh -- installs what is missing, builds, and runs the service in the
# foreground (Ctrl-C stops it).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KESTROVAN_BUILD_ROOT:-$root/build}/release"

bash "$root/scripts/setup.sh"
# Only what the service runs with: the executable, the provisioning command
# and the shipped adapter (laid out as service/NORTA/HelmPKICryptAdapter.so).
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j "${KESTROVAN_JOBS:-$(nproc)}" --target NORTAKestrovan NORTAKestrovanProvision HelmPKICryptAdapter

exe="$out/service/NORTAKestrovan"
if [ -x "$root/scripts/run.d/provision.sh" ]; then
  bash "$root/scripts/run.d/provision.sh" "$out"
fi
# The demo page, served from its own origin beside the service.
if [ -f "$root/scripts/run.d/demo.sh" ]; then
  . "$root/scripts/run.d/demo.sh"
fi
exec "$exe"
