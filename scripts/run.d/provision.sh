#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# provision.sh BUILD_DIR -- readies the service built in BUILD_DIR for the
# current user: a server key of the user's own in $HOME/NORTAKestrovan/key.pem
# and a certificate for it in $HOME/NORTAKestrovan/data.dat (kept when they
# still fit, renewed when not),
# the local CA trusted in the user's NSS databases when certutil is there
# (set KESTROVAN_NO_NSS=1 to leave them alone), and the adapter next to the
# executable.
set -euo pipefail
out="$1"
exe_dir="$out/service"

options=()
if [ "${KESTROVAN_NO_NSS:-0}" != "1" ] && command -v certutil >/dev/null; then
  options+=(--nss)
fi
"$out/tools/NORTAKestrovanProvision" "${options[@]}"

# The shipped PKI adapter is built next to the executable. A build without it
# gets the recording test adapter in its place, when that was built.
adapter="$exe_dir/NORTA/HelmPKICryptAdapter.so"
stand_in="$out/tests/adapters/lib/KestrovanTestRecorder.so"
if [ ! -f "$adapter" ] && [ -f "$stand_in" ]; then
  mkdir -p "$exe_dir/NORTA"
  cp -f "$stand_in" "$adapter"
  echo "provision: no PKI adapter in this build; the recording test adapter stands in as NORTA/HelmPKICryptAdapter"
fi
echo "provision: trust $HOME/NORTAKestrovan/ca.pem in clients, e.g. curl --cacert $HOME/NORTAKestrovan/ca.pem"
