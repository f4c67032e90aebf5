#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# archive_symbols.sh SDK_ARCHIVE SERVICE_ARCHIVE... -- the installed adapter
# SDK archive defines the parameter reads and none of the functions the
# service's own archives define (its map, trace, log, INI reader and the rest
# of support/ and params/), and needs none of them either: everything it
# leaves undefined comes from the C and C++ runtimes.
set -euo pipefail
sdk="$1"; shift
strong() { nm -g --defined-only "$@" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDBRC]$/ { print $3 }' | sort -u; }
undefined() { nm -g --undefined-only "$@" 2>/dev/null | awk '$1 == "U" { print $2 }' | sort -u; }

sdk_defined="$(strong "$sdk")"
service_defined="$(strong "$@")"
status=0
for wanted in KestrovanParam_Read KestrovanParam_Free; do
  if ! grep -qx "$wanted" <<<"$sdk_defined"; then
    echo "missing from the SDK archive: $wanted"
    status=1
  fi
done
if [ -z "$service_defined" ]; then
  echo "no symbols read from the service archives: $*"
  status=1
fi
shared="$(comm -12 <(echo "$sdk_defined") <(echo "$service_defined"))"
if [ -n "$shared" ]; then
  echo "the SDK archive defines functions of the service:"
  c++filt <<<"$shared"
  status=1
fi
needed="$(comm -23 <(undefined "$sdk") <(echo "$sdk_defined"))"
from_service="$(comm -12 <(echo "$needed") <(echo "$service_defined"))"
if [ -n "$from_service" ]; then
  echo "the SDK archive needs functions of the service:"
  c++filt <<<"$from_service"
  status=1
fi
exit $status
