#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# test.sh -- installs what is missing, builds, and runs every test: a normal
# build, a ThreadSanitizer build of the concurrency tests, and an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the whole suite
# (the normal build runs the tests labelled "security" first, as a gate),
# then a bounded run of every fuzz target (scripts/fuzz.sh).
# Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KESTROVAN_BUILD_ROOT:-$root/build}"
jobs="${KESTROVAN_JOBS:-$(nproc)}"

bash "$root/scripts/setup.sh"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

status=0
passed=0
failed=0
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
run_ctest() {
  local dir="$1"; shift
  # pipefail: the pipeline fails when ctest does.
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" 2>&1 | tee "$log"; then
    status=1
  fi
  # "100% tests passed, 0 tests failed out of 36"
  local line
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)"
  if [ -n "$line" ]; then
    local nfail ntotal
    nfail="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")"
    ntotal="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")"
    passed=$((passed + ntotal - nfail))
    failed=$((failed + nfail))
  fi
  echo "-- $(basename "$dir"): done at ${SECONDS}s"
}

echo "== normal build =="
bash "$root/scripts/build.sh" "$out/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_WERROR=ON
# The security gate (ctest label "security": what a hostile page, another
# user or a removed package must not get) first and on its own, so its
# verdict stands apart; then the rest of the normal build, each test once.
echo "-- security gate"
run_ctest "$out/normal" -L security
run_ctest "$out/normal" -LE security

echo "== ThreadSanitizer build (concurrency tests) =="
KESTROVAN_TARGET=concurrency_tests bash "$root/scripts/build.sh" "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_WERROR=ON \
  -DKESTROVAN_TSAN=ON -DKESTROVAN_BUILD_BENCH=OFF
run_ctest "$out/tsan" -L concurrency --no-tests=ignore

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
bash "$root/scripts/build.sh" "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DKESTROVAN_WERROR=ON \
  -DKESTROVAN_SANITIZE=ON -DKESTROVAN_BUILD_BENCH=OFF
run_ctest "$out/asan"

echo "== bounded fuzzing (clang + libFuzzer, ASan + UBSan) =="
if bash "$root/scripts/fuzz.sh"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi
echo "-- fuzzing: done at ${SECONDS}s"

# One line for the whole run: every ctest test of the three builds, and the
# bounded fuzzing run as one more.
echo "test.sh: $passed passed, $failed failed"
if [ "$status" -ne 0 ]; then
  echo "test.sh: FAILED" >&2
fi
exit "$status"
