#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# profile.sh [build-dir] -- where the service's time per echo goes beside the
# bare libmicrohttpd server's, from the kernel's side: for each load shape,
# each server's CPU time, context switches and system time per request
# (perf stat over all its threads), and for one keep-alive connection a
# sampled profile (perf record, kernel and user) of both, the top symbols
# side by side. The load generator is the same for both in every shape, so
# that only the server differs:
#   ka1      1 keep-alive connection, 127.0.0.1 first port;
#   ka8      8 keep-alive connections from one client process, all to one
#            port (B's shape of run.sh; A then has one listener busy);
#   spread   8 keep-alive connections from six client processes, 2,2,1,1,1,1
#            (A over its six listeners, B all to its one port).
# Each shape runs A then B, KB_ROUNDS times over (default 3), and the
# medians are printed with the A/B ratio of each round: on a shared virtual
# machine one run's wall clock moves by 10% and more, the ratios of
# neighbouring runs much less.
# Environment: KB_SECONDS (per run, default 5), KB_ROUNDS, KB_TRACE as in lib.sh.
# Nothing here asserts a time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
here="$root/bench/request"
build="${1:-$root/build/bench}"
seconds="${KB_SECONDS:-5}"
rounds="${KB_ROUNDS:-3}"
portB=56471

# shellcheck source=bench/request/lib.sh
source "$here/lib.sh"

needTools h2load perf curl
buildTargets NORTAKestrovan NORTAKestrovanProvision request_bare_server KestrovanBenchAdapter
makeWork
installService "$build/service/NORTAKestrovan"
exe="$work/bin/NORTAKestrovan"
bare="$build/bench/request/request_bare_server"
origin="https://bench.example"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"

waitForFreePorts
startService
aPid=$servicePid
formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
  >"$work/open.body"
openEcho
post "https://127.0.0.1:${ports[0]}/" "$work/echo.body" >"$work/answer.json"
grep -Eq '"result": *"MA=="' "$work/answer.json" || { echo "profile.sh: echo failed" >&2; exit 1; }

"$bare" serve "$portB" "$work/answer.json" >"$work/bare.txt" 2>&1 &
bPid=$!
pids+=("$bPid")
waitForPort "$portB" 30

# load NAME TARGET... (URL@CONNECTIONS, one h2load per target, all at once)
load() {
  local name="$1" target runs=() i=0
  shift
  for target in "$@"; do
    i=$((i + 1))
    h2load --h1 -c"${target##*@}" -D "$seconds" -d "$work/echo.body" \
      -H "Content-Type: application/x-www-form-urlencoded" -H "Origin: $origin" \
      -H ":authority: localhost:${ports[0]}" -H "Connection: keep-alive" \
      "${target%@*}" >"$work/$name.out.$i" 2>&1 &
    runs+=("$!")
  done
  for run in "${runs[@]}"; do wait "$run"; done
  sed -n 's/^requests: .* \([0-9]*\) succeeded.*/\1/p' "$work/$name".out.* | awk '{n += $1} END{print n + 0}'
}
targets() {  # targets WHO SHAPE -> TARGET...
  local port
  case "$1" in A) port=${ports[0]} ;; B) port=$portB ;; esac
  case "$2" in
    ka1) echo "https://127.0.0.1:$port/@1" ;;
    ka8) echo "https://127.0.0.1:$port/@8" ;;
    spread) if [ "$1" = A ]; then spreadSpecs; else sameShapeSpecs "$port"; fi ;;
  esac
}
# perf stat's CSV: value,unit,event,... ; task-clock in ms.
statValue() {  # statValue FILE EVENT
  awk -F, -v e="$2" '$3 == e || index($3, e ":") == 1 {print $1; exit}' "$1"
}

echo "== per request, each server's threads together (perf stat): median of $rounds interleaved rounds of ${seconds}s =="
rows="$work/rows"
: >"$rows"
for round in $(seq "$rounds"); do
  for shape in ka1 ka8 spread; do
    for who in A B; do
      case "$who" in A) pid=$aPid ;; B) pid=$bPid ;; esac
      stat="$work/stat.$shape.$who.$round"
      perf stat -x, -e task-clock,context-switches -p "$pid" -o "$stat" &
      statPid=$!
      sys0=$(awk '{print $15}' "/proc/$pid/stat")
      # shellcheck disable=SC2046
      requests=$(load "$shape.$who.$round" $(targets "$who" "$shape"))
      sys1=$(awk '{print $15}' "/proc/$pid/stat")
      kill -INT "$statPid"
      wait "$statPid" || true
      # shape who round req/s cpu-us sys-us switches (per request)
      awk -v r="$requests" -v s="$seconds" -v ms="$(statValue "$stat" task-clock)" \
        -v cs="$(statValue "$stat" context-switches)" -v sys=$((sys1 - sys0)) -v hz="$(getconf CLK_TCK)" \
        -v shape="$shape" -v who="$who" -v round="$round" \
        'BEGIN{ if (r == 0) r = 1; printf "%s %s %s %.0f %.1f %.1f %.2f\n", shape, who, round, r / s, ms * 1000 / r, sys * 1e6 / hz / r, cs / r }' \
        >>"$rows"
    done
  done
done
median() {  # median <numbers, one per line
  sort -g | awk '{v[NR] = $1} END{ if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf '%-7s %-4s %9s %8s %8s %8s %8s  %s\n' shape who "req/s" "cpu us" "sys us" "ctx sw" "A/B" "A/B of each round"
for shape in ka1 ka8 spread; do
  ratios=$(awk -v shape="$shape" '$1 == shape { rps[$2 " " $3] = $4; rounds[$3] = 1 }
    END{ for (r in rounds) if (rps["B " r] > 0) printf "%.2f\n", rps["A " r] / rps["B " r] }' "$rows" | sort -g)
  for who in A B; do
    line=$(printf '%-7s %-4s' "$shape" "$who")
    for column in 4 5 6 7; do
      line="$line $(printf '%8s' "$(awk -v shape="$shape" -v who="$who" -v c="$column" '$1 == shape && $2 == who {print $c}' "$rows" | median)")"
    done
    if [ "$who" = A ]; then
      line="$line $(printf '%8s' "$(echo "$ratios" | median)")  $(echo "$ratios" | tr '\n' ' ')"
    fi
    echo "$line"
  done
done
echo
echo "== where one keep-alive connection's time goes (perf record, cpu-clock, both servers) =="
for who in A B; do
  case "$who" in A) pid=$aPid ;; B) pid=$bPid ;; esac
  perf record -q -e cpu-clock -F 4999 -p "$pid" -o "$work/perf.$who" 2>/dev/null &
  recPid=$!
  # shellcheck disable=SC2046
  requests=$(load "rec.$who" $(targets "$who" ka1))
  kill -INT "$recPid"
  wait "$recPid" || true
  echo "-- $who: $requests requests; share of the samples by library, then the top symbols"
  perf report -i "$work/perf.$who" --stdio --no-children --sort dso -g none 2>/dev/null |
    grep -E '^ +[0-9]' | head -8 || true
  perf report -i "$work/perf.$who" --stdio --no-children --sort dso,sym -g none 2>/dev/null |
    grep -E '^ +[0-9]' | head -15 || true
done
