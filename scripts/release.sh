#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# release.sh OUT -- builds what the service runs with into the build tree OUT:
# the executable, the provisioning command, the doctor, the policy writer and
# the shipped adapter (laid out
# as OUT/service/NORTA/HelmPKICryptAdapter.so beside OUT/service/NORTAKestrovan)
# with its command for the user's allow-list (OUT/service/NORTA/kestrovan-helm-sites).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$1"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j "${KESTROVAN_JOBS:-$(nproc)}" --target NORTAKestrovan NORTAKestrovanProvision NORTAKestrovanDoctor NORTAKestrovanPolicies HelmPKICryptAdapter kestrovan-helm-sites kestrovan-helm-chooser
