#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# isolation.sh [build-dir] -- what one page's stuck call costs another page:
# session B's calls per second and latency (h2load, KB_CONNECTIONS keep-alive
# connections on 127.0.0.1:56559, the bench adapter's "Ping" on B's session)
# with session A idle, and with A's call held inside the adapter on
# 127.0.0.1:56459 ("Block", released when the run is over). KB_ROUNDS rounds
# of both, interleaved; the best round of each counts. Nothing here asserts
# a time.
#
# Environment: KB_SECONDS (per run, default 5), KB_ROUNDS (default 3),
# KB_CONNECTIONS (default 8).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/bench}"
seconds="${KB_SECONDS:-5}"
rounds="${KB_ROUNDS:-3}"
connections="${KB_CONNECTIONS:-8}"

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/request/lib.sh
source "$here/lib.sh"

needTools h2load curl
buildTargets NORTAKestrovan NORTAKestrovanProvision KestrovanBenchAdapter
makeWork
installService "$build/service/NORTAKestrovan"
exe="$work/bin/NORTAKestrovan"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"
heldPid=""
# A held call is let go before the service is stopped.
releaseHeld() {
  touch "$work/gate."{1..99} 2>/dev/null || true
  [ -z "$heldPid" ] || wait "$heldPid" 2>/dev/null || true
  cleanupWork
}
trap releaseHeld EXIT

post() {  # post PORT ORIGIN BODY_FILE -> answer body (A's call may be held for the whole run)
  curl -gsk --max-time 600 -H "Origin: $2" -H "Host: localhost:$1" --data-binary @"$3" "https://127.0.0.1:$1/"
}

startService

formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
  >"$work/open.body"
sessionA=$(post ${ports[0]} https://a.example "$work/open.body" | answerValue SessionID)
sessionB=$(post ${ports[1]} https://b.example "$work/open.body" | answerValue SessionID)
[ -n "$sessionA" ] && [ -n "$sessionB" ] || { echo "isolation.sh: no sessions opened" >&2; exit 1; }
formBody "{\"FunctionName\":\"Ping\",\"SessionId\":\"$sessionB\"}" >"$work/ping.body"
post ${ports[1]} https://b.example "$work/ping.body" | answerValue result | grep -qx ok \
  || { echo "isolation.sh: B's call failed" >&2; exit 1; }

# run NAME -> "requests/s p50_ms p99_ms failed" of B over the run
run() {
  local log="$work/log.$1" out="$work/out.$1"
  h2load --h1 -c"$connections" -D "$seconds" -d "$work/ping.body" \
    -H "Content-Type: application/x-www-form-urlencoded" -H "Origin: https://b.example" \
    -H ":authority: localhost:${ports[1]}" --log-file="$log" "https://127.0.0.1:${ports[1]}/" >"$out" 2>&1
  local rps failed p50 p99
  rps=$(sed -n 's/^finished in .*, \([0-9.]*\) req\/s.*/\1/p' "$out")
  failed=$(sed -n 's/^requests: .* \([0-9]*\) failed, \([0-9]*\) errored, \([0-9]*\) timeout.*/\1 \2 \3/p' "$out" |
    awk '{print $1+$2+$3}')
  read -r p50 p99 < <(awk '{print $3}' "$log" | sort -n |
    awk '{v[NR]=$1} END{ if (NR == 0) { print "0 0"; exit }
      i50=int(0.5*NR); if (i50<1) i50=1; i99=int(0.99*NR); if (i99<1) i99=1;
      printf "%.3f %.3f\n", v[i50]/1000, v[i99]/1000}')
  echo "$rps $p50 $p99 $failed"
}

best() {  # best FILE -> the line with the most requests/s
  sort -k1,1 -g "$1" | tail -1
}

: >"$work/idle.txt"
: >"$work/held.txt"
for round in $(seq "$rounds"); do
  run "idle.$round" >>"$work/idle.txt"

  gate="$work/gate.$round"
  formBody "{\"FunctionName\":\"Block\",\"SessionId\":\"$sessionA\",\"until_file\":\"$gate\"}" >"$work/block.body"
  post ${ports[0]} https://a.example "$work/block.body" >"$work/held.answer.$round" &
  heldPid=$!
  end=$((SECONDS + 60))
  until [ -e "$gate.inside" ]; do
    [ "$SECONDS" -lt "$end" ] || { echo "isolation.sh: A's call never reached the adapter" >&2; exit 1; }
    sleep 0.01
  done
  run "held.$round" >>"$work/held.txt"
  [ ! -s "$work/held.answer.$round" ] || { echo "isolation.sh: A's call ended while held" >&2; exit 1; }
  touch "$gate"
  wait "$heldPid"
  heldPid=""
  answerValue result <"$work/held.answer.$round" | grep -qx ok || { echo "isolation.sh: A's call failed" >&2; exit 1; }
done

read -r idleRps idleP50 idleP99 idleFailed < <(best "$work/idle.txt")
read -r heldRps heldP50 heldP99 heldFailed < <(best "$work/held.txt")
echo
echo "session B, $connections keep-alive connections on 127.0.0.1:${ports[1]}, \"Ping\", ${seconds}s runs, best of $rounds:"
printf '| %-28s | %10s | %8s | %8s | %6s |\n' "session A" "requests/s" "p50 ms" "p99 ms" "failed"
printf '|%s|%s|%s|%s|%s|\n' "------------------------------" "-----------:" "---------:" "---------:" "-------:"
printf '| %-28s | %10.0f | %8s | %8s | %6s |\n' "idle" "$idleRps" "$idleP50" "$idleP99" "$idleFailed"
printf '| %-28s | %10.0f | %8s | %8s | %6s |\n' "call held in its adapter" "$heldRps" "$heldP50" "$heldP99" "$heldFailed"
awk -v a="$heldP99" -v b="$idleP99" -v c="$heldRps" -v d="$idleRps" \
  'BEGIN{printf "p99 held / idle: %.2f; requests/s held / idle: %.2f\n", (b > 0 ? a / b : 0), (d > 0 ? c / d : 0)}'
