#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# mainthread_attack.sh [BUILD] -- an honest page's latency while hostile
# origins attack the main-thread hand-off, against the same page with no
# attack, in one run:
#   1. plain echo (one keep-alive connection, request_probe): p50/p99 with
#      no attack, and while a hostile site's dialog holds the main thread and
#      the attacker keeps a main-thread request waiting on each of the six
#      listeners (re-sent after every heartbeat);
#   2. a main-thread echo of the honest page: p50/p99 with no attack, and
#      while two hostile origins send main-thread calls with fresh call ids
#      as fast as they can and never collect them.
# BUILD is a build tree with the service, the provisioning command,
# request_probe and the bench adapter (default build/bench, configured and
# built here like run.sh does; a tree given here is used as it is). Run it
# in a network namespace of its own (scripts/netns-run.sh) on a shared
# machine. Nothing here asserts a time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
here="$root/bench/request"
build="${1:-$root/build/bench}"
echoes="${KB_ECHOES:-300}"
mainCalls="${KB_MAIN_CALLS:-100}"

# shellcheck source=bench/request/lib.sh
source "$here/lib.sh"
listeners=("https://127.0.0.1:${ports[0]}/" "https://[::1]:${ports[0]}/" "https://127.0.0.1:${ports[1]}/"
           "https://[::1]:${ports[1]}/" "https://127.0.0.1:${ports[2]}/" "https://[::1]:${ports[2]}/")

needTools curl
[ -n "${1:-}" ] || buildTargets NORTAKestrovan NORTAKestrovanProvision request_probe KestrovanBenchAdapter
makeWork
installService "$build/service/NORTAKestrovan"
exe="$work/bin/NORTAKestrovan"
probe="$build/bench/request/request_probe"
origin="https://bench.example"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"
startService

openSession() {  # openSession ORIGIN -> session id
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
    >"$work/open.body"
  curl -gsk --max-time 30 -H "Origin: $1" -H "Host: localhost:${ports[0]}" --data-binary @"$work/open.body" \
    "https://127.0.0.1:${ports[0]}/" | answerValue SessionID
}
sid=$(openSession "$origin")
[ -n "$sid" ] || { echo "${0##*/}: no session opened" >&2; exit 1; }
formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"$sid\"}" >"$work/echo.body"
formBody "{\"FunctionName\":\"GetInfo\",\"SessionId\":\"$sid\",\"KestrovanMainThread\":true}" >"$work/main.body"

measure() {  # measure LABEL COUNT BODY -> "LABEL p50 p99 max" (ms)
  local line
  line=$("$probe" requests "$2" "https://127.0.0.1:${ports[0]}/" "$3" "$origin" 2>/dev/null)
  echo "$1 ${line#requests_ms }"
}

echo "== no attack =="
measure echo_quiet "$echoes" "$work/echo.body" | tee "$work/echo_quiet.txt"
measure main_quiet "$mainCalls" "$work/main.body" | tee "$work/main_quiet.txt"

# ---- holds: a hostile dialog on the main thread, a waiting request on every listener
hostile="https://evil-one.example"
dialogSid=$(openSession "https://consent.example")
formBody "{\"FunctionName\":\"Block\",\"until_file\":\"$work/dialog.done\",\"SessionId\":\"$dialogSid\",\"KestrovanMainThread\":true,\"KestrovanCallId\":\"consent\"}" \
  >"$work/dialog.body"
( while [ ! -e "$work/dialog.done" ]; do
    curl -gsk --max-time 30 -H "Origin: https://consent.example" -H "Host: localhost:${ports[0]}" \
      --data-binary @"$work/dialog.body" "https://127.0.0.1:${ports[1]}/" >/dev/null || true
  done ) &
pids+=("$!")
# The dialog's own lines go out when it ends: give it time to start.
sleep 2
i=0
for url in "${listeners[@]}"; do
  formBody "{\"FunctionName\":\"Hold\",\"SessionId\":\"ZZZZZZZZZZZZ\",\"KestrovanMainThread\":true,\"KestrovanCallId\":\"hold-$i\"}" \
    >"$work/hold$i.body"
  ( while [ ! -e "$work/dialog.done" ]; do
      curl -gsk --max-time 30 -H "Origin: $hostile" -H "Host: localhost:${ports[0]}" --data-binary @"$work/hold$i.body" \
        "$url" >/dev/null || true
    done ) &
  pids+=("$!")
  i=$((i + 1))
done
sleep 1
echo "== a hostile dialog holds the main thread, one main-thread request waits on each listener =="
measure echo_holds "$echoes" "$work/echo.body" | tee "$work/echo_holds.txt"
touch "$work/dialog.done"
sleep 1

# ---- flood: two hostile origins, fresh call ids, never collected
rm -f "$work/flood.stop"
for who in evil-one evil-two; do
  ( n=0
    while [ ! -e "$work/flood.stop" ]; do
      formBody "{\"FunctionName\":\"Junk\",\"SessionId\":\"ZZZZZZZZZZZZ\",\"KestrovanMainThread\":true,\"KestrovanCallId\":\"$who-$n\"}" \
        >"$work/$who.body"
      curl -gsk --max-time 0.3 -H "Origin: https://$who.example" -H "Host: localhost:${ports[0]}" \
        --data-binary @"$work/$who.body" "https://127.0.0.1:${ports[2]}/" >/dev/null 2>&1 || true
      n=$((n + 1))
    done ) &
  pids+=("$!")
done
sleep 2
echo "== two hostile origins flood the hand-off with uncollected calls =="
measure main_flood "$mainCalls" "$work/main.body" | tee "$work/main_flood.txt"
touch "$work/flood.stop"
sleep 1

ratio() {  # ratio FILE_ATTACK FILE_QUIET FIELD -> attack/quiet
  awk -v f="$3" 'NR==FNR{a=$f; next}{q=$f}END{if (q > 0) printf "%.2f", a / q; else print "n/a"}' "$1" "$2"
}
echo "== ratios (under attack / no attack) =="
echo "echo p50 $(ratio "$work/echo_holds.txt" "$work/echo_quiet.txt" 2) p99 $(ratio "$work/echo_holds.txt" "$work/echo_quiet.txt" 3)"
echo "main-thread p50 $(ratio "$work/main_flood.txt" "$work/main_quiet.txt" 2) p99 $(ratio "$work/main_flood.txt" "$work/main_quiet.txt" 3)"
sed 's/\x1b\[[0-9;]*m//g' "$trace" | grep -c "No room, waiting" | sed 's/^/"No room, waiting" lines: /'
sed 's/\x1b\[[0-9;]*m//g' "$trace" | grep -c "Main thread result not collected" | sed 's/^/results dropped: /'
stopPid "$servicePid"
