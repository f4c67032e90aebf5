#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# peer_check.sh [build-dir] -- what the check of who is connecting costs per
# new connection: the service against the same program built without the
# check (NORTAKestrovanNoPeerCheck, made only in a bench build), each serving
# a new TLS connection per request (wrk, 8 clients, "Connection: close",
# 127.0.0.1:56459, an echo on an open session). KB_ROUNDS rounds (default 5)
# of KB_SECONDS each (default 5), the two taking turns (each first in every
# other round); the best round of
# each counts, and the ratio of each round's pair is shown too. Beside the
# rate, the service's own CPU time per request (user + system, from
# /proc/PID/stat), which a busy machine disturbs far less than the rate.
# Then the lookup alone (bench/peers/peer_bench). Run it in a network namespace of its
# own (bash scripts/netns-run.sh bash bench/request/peer_check.sh) so that no
# other copy of the service holds the ports. Nothing here asserts a time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
here="$root/bench/request"
build="${1:-$root/build/bench}"
seconds="${KB_SECONDS:-5}"
rounds="${KB_ROUNDS:-5}"
origin="https://bench.example"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"
# shellcheck source=bench/request/lib.sh
source "$here/lib.sh"

needTools wrk curl
buildTargets NORTAKestrovan NORTAKestrovanNoPeerCheck NORTAKestrovanProvision KestrovanBenchAdapter peer_bench
makeWork
installService "$build/service/NORTAKestrovan" "$build/bench/request/NORTAKestrovanNoPeerCheck"

cpuTicks() {  # cpuTicks PID -> user + system clock ticks of the process
  awk '{print $14 + $15}' "/proc/$1/stat"
}

# One round of one program: start it, open a session, run wrk, stop it.
# Prints "requests/s CPU-µs-per-request"; the console must hold no refusal
# (every connection is this user's).
newConnections() {  # newConnections PROGRAM ROUND
  exe="$work/bin/$1"
  startService
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
    >"$work/open.body"
  local session
  session=$(post "https://127.0.0.1:${ports[0]}/" "$work/open.body" | answerValue SessionID)
  [ -n "$session" ] || { echo "peer_check.sh: no session opened" >&2; exit 1; }
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"$session\"}" >"$work/echo.body"
  local hist="$work/wrk.$1.$2" before after
  before=$(cpuTicks "$servicePid")
  KB_BODY_FILE="$work/echo.body" KB_ORIGIN="$origin" KB_HOST="localhost:${ports[0]}" KB_CLOSE=1 KB_HIST="$hist" \
    wrk -t1 -c8 -d"${seconds}s" --timeout 10s -s "$here/post.lua" "https://127.0.0.1:${ports[0]}/" >/dev/null
  after=$(cpuTicks "$servicePid")
  stopPid "$servicePid"
  if sed 's/\x1b\[[0-9;]*m//g' "$trace" | grep -q "refused"; then
    echo "peer_check.sh: connections were refused:" >&2
    grep "refused" "$trace" | head -5 >&2
    exit 1
  fi
  awk -v ticks=$((after - before)) -v hz="$(getconf CLK_TCK)" '$1=="total"{
    if ($4 > 0) { print "peer_check.sh: " $4 " errors" > "/dev/stderr" }
    printf "%.0f %.0f\n", $2/($3/1e6), ticks/hz*1e6/$2 }' "$hist"
}

echo "== new connection per request: with the check (A) and without (A0), $rounds rounds of ${seconds}s =="
printf '%-6s %9s %9s %7s %12s %12s %7s\n' "round" "A req/s" "A0 req/s" "A/A0" "A CPU us/req" "A0 CPU us/req" "A0/A"
: >"$work/rounds"
for round in $(seq "$rounds"); do
  # Each goes first in every other round: neither always meets the machine
  # the other left behind.
  if [ $((round % 2)) -eq 1 ]; then
    read -r a aCpu < <(newConnections NORTAKestrovan "$round")
    read -r a0 a0Cpu < <(newConnections NORTAKestrovanNoPeerCheck "$round")
  else
    read -r a0 a0Cpu < <(newConnections NORTAKestrovanNoPeerCheck "$round")
    read -r a aCpu < <(newConnections NORTAKestrovan "$round")
  fi
  echo "$a $a0 $aCpu $a0Cpu" >>"$work/rounds"
  printf '%-6s %9s %9s %7s %12s %12s %7s\n' "$round" "$a" "$a0" "$(awk -v a="$a" -v b="$a0" 'BEGIN{printf "%.3f", a/b}')" \
    "$aCpu" "$a0Cpu" "$(awk -v a="$aCpu" -v b="$a0Cpu" 'BEGIN{printf "%.3f", b/a}')"
done
# Best rate of each; median CPU per request of each (the CPU ratio is
# without/with, so that above 1 means the check costs nothing measurable).
awk '{ a[NR]=$1; a0[NR]=$2; c[NR]=$3; c0[NR]=$4 }
  function median(v, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
  END {
    for (i = 1; i <= NR; i++) { if (a[i] > ba) ba = a[i]; if (a0[i] > ba0) ba0 = a0[i] }
    mc = median(c, NR); mc0 = median(c0, NR)
    printf "%-6s %9d %9d %7.3f %12.0f %12.0f %7.3f  (best rate, median CPU)\n", "all", ba, ba0, ba / ba0, mc, mc0, mc0 / mc
  }' "$work/rounds"
echo
echo "== the lookup alone =="
"$build/bench/peers/peer_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>&1 |
  grep -E "median|Benchmark|^-"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
