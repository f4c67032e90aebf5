#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# run.sh [build-dir] -- builds the cipher benchmark (release flags as shipped,
# RelWithDebInfo), runs it (timings side by side, best of 5 interleaved
# repetitions, then the ratio table), and counts instructions per byte of
# every workload and contender under callgrind.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/bench}"
KESTROVAN_TARGET=crypto_bench bash "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=ON
bin="$build/bench/crypto/crypto_bench"

echo "== timings =="
"$bin" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=false

echo
echo "== instructions per byte (valgrind --tool=callgrind) =="
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
# The binary cannot re-execute itself under valgrind: hand it the switches.
vendor=amd
grep -q -m1 GenuineIntel /proc/cpuinfo && vendor=intel
NETTLE_FAT_OVERRIDE="vendor:$vendor" OPENSSL_ia32cap="~0x200000200000000" KESTROVAN_BENCH_SWITCHED=1 \
valgrind --tool=callgrind --collect-atstart=yes --callgrind-out-file="$out/cg.%p" "$bin" --instructions \
  >/dev/null 2>"$out/valgrind.log" || { cat "$out/valgrind.log" >&2; exit 1; }
# Each client-request dump names "<workload> <contender> <bytes>" and carries
# the instruction total on its "summary:" (or "totals:") line.
for f in "$out"/cg.*; do
  awk '/^desc: Trigger: Client Request: /{sub(/^desc: Trigger: Client Request: /,""); name=$0}
       /^(summary|totals): /{if (name != "" && !done) {print name, $2; done=1}}' "$f"
done | awk '{ ipb[$1 " " $2] = $4 / $3; w[$1] = 1; c[$2] = 1 }
  END {
    printf "%-24s %9s %9s %9s %9s\n", "workload", "ours", "nettle", "openssl", "aesni";
    n = split("aes256-cbc-enc-16KiB aes256-cbc-pad-enc-64B aes256-cbc-dec-16KiB aes256-cbc-pad-dec-64B 3des-cbc-enc-16KiB 3des-cbc-dec-16KiB rc4-16KiB", order, " ");
    for (i = 1; i <= n; i++) {
      k = order[i]; if (!(k in w)) continue;
      printf "%-24s", k;
      m = split("ours nettle openssl aesni", cs, " ");
      for (j = 1; j <= m; j++) { key = k " " cs[j]; if (key in ipb) printf " %9.1f", ipb[key]; else printf " %9s", "-" }
      printf "\n";
    }
  }'
