#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# fuzz.sh -- bounded fuzzing: builds the libFuzzer targets with clang
# (ASan + UBSan) in their own build tree, replays each target's corpus and
# crash reproducers, then fuzzes each target for a bounded time. Exits
# non-zero on any crash, leak, timeout or out-of-memory.
#
#   KESTROVAN_FUZZ_SECONDS  time per target (default 30)
#   KESTROVAN_FUZZ_TARGETS  space-separated subset (default: every target built)
#   KESTROVAN_BUILD_ROOT    where build trees go (default build/)
# New inputs go to a scratch corpus under the build tree, never into the
# committed seed corpus; a failing input is kept there as crash-*/leak-*/
# timeout-*: add it to fuzz/<target>/crashes/ once understood.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KESTROVAN_BUILD_ROOT:-$root/build}"
dir="$out/fuzz"
seconds="${KESTROVAN_FUZZ_SECONDS:-30}"

CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_WERROR=ON \
  -DKESTROVAN_BUILD_FUZZ=ON -DKESTROVAN_SANITIZE=ON -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=OFF

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

if [ -n "${KESTROVAN_FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$KESTROVAN_FUZZ_TARGETS"
else
  targets=()
  for binary in "$dir"/fuzz/fuzz_*; do
    [ -x "$binary" ] && targets+=("${binary##*/fuzz_}")
  done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets were built" >&2
  exit 1
fi

status=0
for name in "${targets[@]}"; do
  binary="$dir/fuzz/fuzz_$name"
  seeds="$root/fuzz/$name"
  work="$dir/work/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "== fuzz $name: ${seconds}s =="
  # -timeout: no single input may take longer (the policy target relies on
  # it); -rss_limit_mb: nor grow past this; the leak check is on.
  if ! (cd "$work" && "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 \
          -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
          "$work/corpus" "$seeds/corpus" "$seeds/crashes" >"$work/log" 2>&1); then
    status=1
    echo "fuzz.sh: $name FAILED; input kept in $work/artifacts/, log in $work/log:" >&2
    grep -E "ERROR|SUMMARY|fuzz check failed|Test unit written" "$work/log" | head -20 >&2 || true
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb" "$work/log" | tr '\n' ' '
    echo
  fi
done

if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: FAILED" >&2
fi
exit "$status"
