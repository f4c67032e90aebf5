#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# run.sh [build-dir] -- the request path side by side, in one run:
#   A  the service (echo on an open session, and the bench adapter's "Ping"),
#   B  a bare libmicrohttpd server with the service's listener options,
#      certificate and key, answering the bytes of A's echo answer,
#   C  nginx, one worker, the same certificate and key, the same bytes;
# over 1 keep-alive connection, 8 keep-alive connections (A spread over its
# six listeners by six client processes, B and C on one port from one), the
# same 8 connections from the same six client processes for every contender
# ("6 clients each"), and a new connection per request (8 clients on one
# listener). h2load drives the keep-alive runs, wrk the new-connection runs.
# Prints requests/s, p50 and p99 latency, instructions per request under
# callgrind (also without memset, whose "rep stosb" callgrind counts byte by
# byte), each server's CPU per request and the ratios A/B and A/C, then
# memory, session opening, start-up and main-thread hand-off figures.
#
# Environment: KB_SECONDS (per timed run, default 5), KB_ROUNDS (rounds of
# all contenders, best kept, default 2), KB_SOAK (soak seconds, default 20),
# KB_CG_SECONDS (per callgrind run, default 6), KB_TRACE (where A's console
# goes: a file path, default a file in the work folder; "pipe" for a pipe
# read by cat into /dev/null), KB_HANDOFF (main-thread calls measured,
# default 200), KB_ONLY=handoff (stop after the main-thread hand-off).
# Also: echo with the console in a file, /dev/null and a pipe nobody reads
# (KB_TRACE=stall), heap blocks allocated per echo (valgrind's dhat) and
# system calls per echo by name (strace -c).
# Nothing here asserts a time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
here="$root/bench/request"
build="${1:-$root/build/bench}"
seconds="${KB_SECONDS:-5}"
rounds="${KB_ROUNDS:-2}"
soak="${KB_SOAK:-20}"
cgSeconds="${KB_CG_SECONDS:-6}"
portB=56471
portC=56472

# shellcheck source=bench/request/lib.sh
source "$here/lib.sh"

needTools wrk h2load nginx valgrind callgrind_control curl strace
buildTargets NORTAKestrovan NORTAKestrovanProvision request_bare_server request_probe KestrovanBenchAdapter
makeWork
installService "$build/service/NORTAKestrovan"
cert="$HOME/NORTAKestrovan/data.dat"
"$build/bench/request/request_bare_server" key-out "$work/key.pem"
exe="$work/bin/NORTAKestrovan"
bare="$build/bench/request/request_bare_server"
probe="$build/bench/request/request_probe"
origin="https://bench.example"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"

rssKiB() {  # rssKiB PID...
  local total=0 pid value
  for pid in "$@"; do
    value=$(awk '/^VmRSS:/{print $2}' "/proc/$pid/status")
    total=$((total + value))
  done
  echo "$total"
}

waitForFreePorts
echo "== start-up (5 starts, no requests) =="
"$probe" startup 5 "$exe" | tee "$work/startup.txt"

# ---- the service, the bare server and nginx, all running -----------------
startService
aPid=$servicePid
aIdle=$(rssKiB "$aPid")

formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
  >"$work/open.body"

echo "== session opening (copy, load, unlock, version), 200 opens on one connection =="
"$probe" requests 200 "https://127.0.0.1:${ports[0]}/" "$work/open.body" "$origin" 2>/dev/null | tee "$work/open.txt"
a32=$(rssKiB "$aPid")

sessionId=$(post "https://127.0.0.1:${ports[0]}/" "$work/open.body" | answerValue SessionID)
[ -n "$sessionId" ] || { echo "run.sh: no session opened" >&2; exit 1; }
formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"$sessionId\"}" >"$work/echo.body"
formBody "{\"FunctionName\":\"Ping\",\"SessionId\":\"$sessionId\"}" >"$work/call.body"
formBody "{\"FunctionName\":\"Ping\",\"SessionId\":\"$sessionId\",\"KestrovanMainThread\":true}" >"$work/main.body"
post "https://127.0.0.1:${ports[0]}/" "$work/echo.body" >"$work/answer.json"
grep -Eq '"result": *"MA=="' "$work/answer.json" || { echo "run.sh: echo failed: $(cat "$work/answer.json")" >&2; exit 1; }
post "https://127.0.0.1:${ports[0]}/" "$work/call.body" | answerValue result | grep -qx ok \
  || { echo "run.sh: the adapter call failed" >&2; exit 1; }
for port in "${ports[@]}"; do
  for host in 127.0.0.1 "[::1]"; do
    post "https://$host:$port/" "$work/echo.body" | cmp -s - "$work/answer.json" \
      || { echo "run.sh: https://$host:$port/ does not answer the echo" >&2; exit 1; }
  done
done

handoffCalls="${KB_HANDOFF:-200}"
echo "== main-thread hand-off of a quick call, $handoffCalls calls; the same call without it =="
"$probe" requests "$handoffCalls" "https://127.0.0.1:${ports[0]}/" "$work/main.body" "$origin" 2>/dev/null | tee "$work/handoff.txt"
"$probe" requests "$handoffCalls" "https://127.0.0.1:${ports[0]}/" "$work/call.body" "$origin" 2>/dev/null | tee "$work/direct.txt"
[ "${KB_ONLY:-}" != handoff ] || exit 0

"$bare" serve "$portB" "$work/answer.json" >"$work/bare.txt" 2>&1 &
bPid=$!
pids+=("$bPid")
waitForPort "$portB" 30
bIdle=$(rssKiB "$bPid")

nginxConf() {  # nginxConf FILE
  mkdir -p "$work/nginx"
  cat >"$1" <<EOF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  keepalive_requests 100000000;
  keepalive_timeout 65;
  server {
    listen 127.0.0.1:$portC ssl;
    ssl_certificate $cert;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_tickets off;
    location / {
      add_header Access-Control-Allow-Origin \$http_origin;
      add_header X-XSS-Protection "1; mode=block";
      default_type "";
      return 200 '$(cat "$work/answer.json")';
    }
  }
}
EOF
}
nginxConf "$work/nginx.conf"
nginx -c "$work/nginx.conf" -g "daemon off;" >"$work/nginx/out.txt" 2>&1 &
cPid=$!
pids+=("$cPid")
waitForPort "$portC" 30
cIdle=$(rssKiB "$cPid" $(pgrep -P "$cPid"))

# ---- throughput and latency -----------------------------------------------
# loadRun NAME CLOSE BODY TARGET... where TARGET is URL@CONNECTIONS: one client
# process per TARGET, all at once. Keep-alive runs use h2load (HTTP/1.1), whose
# per-request log gives exact percentiles; wrk sends the IPv6 address as the
# TLS server name, which GnuTLS refuses, so it only drives the
# new-connection runs (IPv4, "Connection: close", a reconnect per request).
loadRun() {
  local name="$1" close="$2" body="$3"
  shift 3
  local out="$work/load.$name" target url connections runs=() i=0
  rm -rf "$out"
  mkdir -p "$out"
  for target in "$@"; do
    url="${target%@*}"
    connections="${target##*@}"
    i=$((i + 1))
    if [ "$close" = 1 ]; then
      KB_BODY_FILE="$body" KB_ORIGIN="$origin" KB_HOST="localhost:${ports[0]}" KB_CLOSE=1 KB_HIST="$out/wrk.$i" \
        wrk -t1 -c"$connections" -d"${seconds}s" --timeout 10s -s "$here/post.lua" "$url" >/dev/null &
    else
      h2load --h1 -c"$connections" -D "$seconds" -d "$body" -H "Content-Type: application/x-www-form-urlencoded" \
        -H "Origin: $origin" -H ":authority: localhost:${ports[0]}" -H "Connection: keep-alive" \
        --log-file="$out/log.$i" "$url" >"$out/out.$i" 2>&1 &
    fi
    runs+=("$!")
  done
  for run in "${runs[@]}"; do wait "$run"; done
}
# loadRequests NAME -> requests answered (all client processes)
loadRequests() {
  local out="$work/load.$1"
  if ls "$out"/wrk.* >/dev/null 2>&1; then
    awk '$1=="total"{r+=$2} END{print r+0}' "$out"/wrk.*
  else
    awk '$2 ~ /^2/ {n++} END{print n+0}' "$out"/log.*
  fi
}
# summary NAME -> "requests/s p50_ms p99_ms errors"
summary() {
  local out="$work/load.$1" rps errors p50 p99
  if ls "$out"/wrk.* >/dev/null 2>&1; then
    read -r rps errors < <(awk '$1=="total"{r+=$2/($3/1e6); e+=$4} END{printf "%.0f %d\n", r, e}' "$out"/wrk.*)
    read -r p50 p99 < <(grep -hv '^total' "$out"/wrk.* | sort -n -k1,1 |
      awk '{v[NR]=$1; c[NR]=$2; n+=$2} END{
        a=0; p50=""; p99="";
        for(i=1;i<=NR;i++){a+=c[i]; if(p50=="" && a>=0.5*n) p50=v[i]; if(p99=="" && a>=0.99*n) p99=v[i]}
        printf "%.3f %.3f\n", p50/1000, p99/1000}')
  else
    rps=$(sed -n 's/^finished in .*, \([0-9.]*\) req\/s.*/\1/p' "$out"/out.* | awk '{r+=$1} END{printf "%.0f", r}')
    errors=$(sed -n 's/^requests: .* \([0-9]*\) failed, \([0-9]*\) errored, \([0-9]*\) timeout.*/\1 \2 \3/p' "$out"/out.* |
      awk '{e+=$1+$2+$3} END{print e+0}')
    read -r p50 p99 < <(awk '{print $3}' "$out"/log.* | sort -n |
      awk '{v[NR]=$1} END{ if (NR == 0) { print "0 0"; exit }
        i50=int(0.5*NR); if (i50<1) i50=1; i99=int(0.99*NR); if (i99<1) i99=1;
        printf "%.3f %.3f\n", v[i50]/1000, v[i99]/1000}')
  fi
  echo "$rps $p50 $p99 $errors"
}

# The server's CPU time split into user and kernel (clock ticks from /proc):
# where a contender's time per request goes that callgrind does not count.
serverPids() {  # serverPids WHO -> the processes serving WHO (nginx: master and workers)
  case "$1" in
    A-*) echo "$aPid" ;;
    B) echo "$bPid" ;;
    C) echo "$cPid" $(pgrep -P "$cPid") ;;
  esac
}
cpuSplit() {  # cpuSplit PID... -> "user system" clock ticks, summed
  local pid files=()
  for pid in "$@"; do files+=("/proc/$pid/stat"); done
  awk '{u += $14; s += $15} END{print u + 0, s + 0}' "${files[@]}"
}

# One row of a mode: every contender once, in turn.
contenderRun() {  # contenderRun MODE CONTENDER ROUND
  local mode="$1" who="$2" close=0 body="$work/echo.body" specs
  case "$who" in A-call) body="$work/call.body" ;; esac
  case "$who" in
    A-*) port=${ports[0]} ;;
    B) port=$portB ;;
    C) port=$portC ;;
  esac
  case "$mode" in
    ka1) specs="https://127.0.0.1:$port/@1" ;;
    ka8) if [ "${who#A-}" != "$who" ]; then specs=$(spreadSpecs); else specs="https://127.0.0.1:$port/@8"; fi ;;
    six) if [ "${who#A-}" != "$who" ]; then specs=$(spreadSpecs); else specs=$(sameShapeSpecs "$port"); fi ;;
    new) close=1; specs="https://127.0.0.1:$port/@8" ;;
  esac
  # shellcheck disable=SC2086
  loadRun "$mode.$who.$3" "$close" "$body" $specs
}

modes="ka1 ka8 six new"
contenders="A-echo A-call B C"
echo "== timed runs: $rounds rounds of ${seconds}s per contender and mode =="
for round in $(seq "$rounds"); do
  for mode in $modes; do
    for who in $contenders; do
      # shellcheck disable=SC2046
      before=$(cpuSplit $(serverPids "$who"))
      contenderRun "$mode" "$who" "$round"
      # shellcheck disable=SC2046
      echo "$before $(cpuSplit $(serverPids "$who"))" >"$work/cpu.$mode.$who.$round"
    done
  done
done
# cpuPerRequest NAME -> "user system" microseconds of server CPU per answered request
cpuPerRequest() {
  local requests
  requests=$(loadRequests "$1")
  awk -v r="$requests" -v hz="$(getconf CLK_TCK)" \
    '{ if (r > 0) printf "%.1f %.1f\n", ($3 - $1) * 1e6 / hz / r, ($4 - $2) * 1e6 / hz / r; else print "- -" }' \
    "$work/cpu.$1"
}
# The best round of each contender and mode (the least disturbed one).
best() {  # best MODE WHO -> summary line
  local round line bestLine="" bestRps=-1 rps
  for round in $(seq "$rounds"); do
    line=$(summary "$1.$2.$round")
    rps=${line%% *}
    if [ "$rps" -gt "$bestRps" ]; then
      bestRps=$rps
      bestLine=$line
      cpuPerRequest "$1.$2.$round" >"$work/bestcpu.$1.$2"
    fi
  done
  echo "$bestLine"
}
for mode in $modes; do
  for who in $contenders; do
    best "$mode" "$who" >"$work/best.$mode.$who"
  done
done

# ---- soak and memory ------------------------------------------------------
echo "== soak: ${soak}s of echo over 8 connections on the six listeners =="
secondsSaved=$seconds
seconds=$soak
# shellcheck disable=SC2046
loadRun soak 0 "$work/echo.body" $(spreadSpecs)
seconds=$secondsSaved
aSoak=$(rssKiB "$aPid")
soakLine=$(summary soak)

stopPid "$aPid"
stopPid "$bPid"
stopPid "$cPid"

# ---- the console: a file, /dev/null, a pipe nobody reads --------------------
# A started again with its standard output in each, in turn, KB_ROUNDS
# times: echo over one keep-alive connection, and the service's CPU time per
# request (utime + stime from /proc, clock ticks).
cpuTicks() {  # cpuTicks PID
  awk '{print $14 + $15}' "/proc/$1/stat"
}
sinks="file null stall"
echo "== the console in a file, /dev/null and a pipe nobody reads: echo over 1 connection =="
for round in $(seq "$rounds"); do
  for sink in $sinks; do
    case "$sink" in
      file) KB_TRACE="" startService ;;
      *) KB_TRACE="$sink" startService ;;
    esac
    openEcho
    before=$(cpuTicks "$servicePid")
    loadRun "sink.$sink.$round" 0 "$work/echo.body" "https://127.0.0.1:${ports[0]}/@1"
    after=$(cpuTicks "$servicePid")
    requests=$(loadRequests "sink.$sink.$round")
    echo "$(summary "sink.$sink.$round") $(awk -v t=$((after - before)) -v r="$requests" -v hz="$(getconf CLK_TCK)" \
      'BEGIN{ if (r > 0) printf "%.1f", t * 1e6 / hz / r; else printf "-" }')" >"$work/sink.$sink.$round"
    stopPid "$servicePid"
  done
done
for sink in $sinks; do
  bestRps=-1
  for round in $(seq "$rounds"); do
    read -r rps rest <"$work/sink.$sink.$round"
    if [ "$rps" -gt "$bestRps" ]; then bestRps=$rps; cp "$work/sink.$sink.$round" "$work/sink.$sink"; fi
  done
done

# ---- heap allocations per request (valgrind --tool=dhat) -------------------
# Each server under dhat twice, answering 100 and then 600 echoes over one
# keep-alive connection (request_probe): the difference of the blocks
# allocated over the whole run, divided by 500, is what one more request
# allocates (start-up, the session, the connection and its handshake cancel).
dhatBlocks() {  # dhatBlocks LOG -> blocks allocated in the whole run
  sed -n 's/.*Total: .* in \([0-9,]*\) blocks.*/\1/p' "$1" | tr -d , | tail -1
}
allocRun() {  # allocRun WHO COUNT -> blocks
  local who="$1" count="$2" log="$work/dhat.$1.$2.log" pid
  case "$who" in
    A)
      startService valgrind --tool=dhat --dhat-out-file=/dev/null --log-file="$log"
      pid=$servicePid
      openEcho
      "$probe" requests "$count" "https://127.0.0.1:${ports[0]}/" "$work/echo.body" "$origin" >/dev/null 2>&1
      ;;
    B)
      valgrind --tool=dhat --dhat-out-file=/dev/null --log-file="$log" "$bare" serve "$portB" "$work/answer.json" \
        >"$work/bare-dhat.txt" 2>&1 &
      pid=$!
      pids+=("$pid")
      waitForPort "$portB" 300
      "$probe" requests "$count" "https://127.0.0.1:$portB/" "$work/echo.body" "$origin" >/dev/null 2>&1
      ;;
  esac
  stopPid "$pid"
  dhatBlocks "$log"
}
echo "== heap allocations per request (valgrind --tool=dhat, 100 and 600 echoes on one connection) =="
for who in A B; do
  low=$(allocRun "$who" 100)
  high=$(allocRun "$who" 600)
  awk -v l="$low" -v h="$high" 'BEGIN{ printf "%.1f\n", (h - l) / 500 }' >"$work/allocs.$who"
  echo "$who: $(cat "$work/allocs.$who") blocks per echo"
done

# ---- system calls per request (strace -c) ----------------------------------
# What a request costs the kernel that callgrind does not count: each server
# traced from outside (every thread) while it answers 100 and then 600
# echoes over one keep-alive connection; the difference over 500 is one
# more request's calls, by name.
syscallRun() {  # syscallRun WHO COUNT -> writes $work/strace.WHO.COUNT
  local who="$1" count="$2" log="$work/strace.$1.$2" pid url tracer
  case "$who" in
    A)
      startService
      pid=$servicePid
      openEcho
      url="https://127.0.0.1:${ports[0]}/"
      ;;
    B)
      "$bare" serve "$portB" "$work/answer.json" >"$work/bare-strace.txt" 2>&1 &
      pid=$!
      pids+=("$pid")
      waitForPort "$portB" 30
      url="https://127.0.0.1:$portB/"
      ;;
  esac
  strace -f -c -o "$log" -p "$pid" 2>/dev/null &
  tracer=$!
  sleep 1
  "$probe" requests "$count" "$url" "$work/echo.body" "$origin" >/dev/null 2>&1
  kill -INT "$tracer"
  wait "$tracer" || true
  stopPid "$pid"
}
echo "== system calls per request (strace -c, 100 and 600 echoes on one connection) =="
for who in A B; do
  syscallRun "$who" 100
  syscallRun "$who" 600
  # Rows are "% seconds usecs/call calls [errors] name"; the last field names the call.
  awk 'FNR == 1 { file++ } $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { calls[$NF] += (file == 2 ? $4 : -$4) }
       END { for (name in calls) if (calls[name] / 500 >= 0.05) { total += calls[name]; list = list sprintf(" %s %.1f", name, calls[name] / 500) }
             printf "%.1f (%s )\n", total / 500, list }' "$work/strace.$who.100" "$work/strace.$who.600" >"$work/syscalls.$who"
  echo "$who: $(cat "$work/syscalls.$who") system calls per echo"
done

# ---- instructions per request (callgrind) --------------------------------
# cgRun NAME PID: zero, run the three modes, dump after each; instructions
# per request = dump total / requests. Keep-alive runs include their
# connections' handshakes: they are taken out with the new-connection figure
# (handshake + request), see bench/README.md.
cgTotal() {  # cgTotal FILE
  awk '/^(summary|totals):/{print $2; exit}' "$1"
}
# libc's memset, counted apart: callgrind counts every byte a "rep stosb"
# clears as one instruction, so a library clearing its 32 KiB memory pool
# for each request adds tens of thousands of "instructions" that take the
# processor well under a microsecond. Only the implementations (leaves) are
# summed, not their callers.
cgMemset() {  # cgMemset FILE -> instructions counted inside memset
  callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
    awk '$0 ~ /:__memset_[a-z0-9_]+ \[/ { gsub(",", "", $1); sum += $1 } END{ print sum + 0 }'
}
cgMeasure() {  # cgMeasure PID TAG MODE WHO
  local pid="$1" tag="$2" mode="$3" who="$4" save=$seconds
  callgrind_control -z "$pid" >/dev/null 2>&1
  seconds=$cgSeconds
  contenderRun "$mode" "$who" cg
  seconds=$save
  callgrind_control -d "cg-$tag-$mode" "$pid" >/dev/null 2>&1
  local dump
  dump="$work/cg.out.$pid.$(ls "$work"/cg.out."$pid".* | sed 's/.*\.//' | sort -n | tail -1)"
  local requests
  requests=$(loadRequests "$mode.$who.cg")
  echo "$(cgTotal "$dump") $requests $(cgMemset "$dump")"
}
cgContender() {  # cgContender WHO -> writes $work/cg.WHO.MODE as "instructions requests memset"
  local who="$1" pid
  case "$who" in
    A-*)
      startService valgrind --tool=callgrind --callgrind-out-file="$work/cg.out.%p"
      pid=$servicePid
      # The echo session again (a new process has no sessions).
      post "https://127.0.0.1:${ports[0]}/" "$work/open.body" >/dev/null
      sessionId=$(post "https://127.0.0.1:${ports[0]}/" "$work/open.body" | answerValue SessionID)
      formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"$sessionId\"}" >"$work/echo.body"
      formBody "{\"FunctionName\":\"Ping\",\"SessionId\":\"$sessionId\"}" >"$work/call.body"
      ;;
    B)
      valgrind --tool=callgrind --callgrind-out-file="$work/cg.out.%p" "$bare" serve "$portB" "$work/answer.json" \
        >"$work/bare-cg.txt" 2>&1 &
      pid=$!
      pids+=("$pid")
      waitForPort "$portB" 300
      ;;
    C)
      valgrind --tool=callgrind --callgrind-out-file="$work/cg.out.%p" \
        nginx -c "$work/nginx.conf" -g "daemon off; master_process off;" >"$work/nginx-cg.txt" 2>&1 &
      pid=$!
      pids+=("$pid")
      waitForPort "$portC" 300
      ;;
  esac
  local mode
  for mode in $modes; do
    cgMeasure "$pid" "$who" "$mode" "$who" >"$work/cg.$who.$mode"
    if [ "$who" = A-echo ]; then
      cgMeasure "$pid" "A-call" "$mode" "A-call" >"$work/cg.A-call.$mode"
    fi
  done
  stopPid "$pid"
}
echo "== instructions per request (valgrind --tool=callgrind, ${cgSeconds}s per run) =="
cd "$work"
cgContender A-echo
cgContender B
cgContender C
cd - >/dev/null

# Per-request instructions: new = total/requests (a handshake and a request);
# keep-alive = (total - connections * handshake) / requests, the handshake
# being new - keep-alive per request, solved for both at once.
instructions() {  # instructions WHO MODE [nomemset]
  local who="$1" mode="$2" newMemset memset
  read -r newTotal newRequests newMemset <"$work/cg.$who.new"
  read -r total requests memset <"$work/cg.$who.$mode"
  if [ "${3:-}" = nomemset ]; then
    newTotal=$((newTotal - newMemset))
    total=$((total - memset))
  fi
  local connections=1
  [ "$mode" = ka1 ] || connections=8
  if [ "$mode" = new ]; then
    awk -v t="$newTotal" -v r="$newRequests" 'BEGIN{ if (r > 0) printf "%.0f", t/r; else printf "-" }'
  else
    awk -v t="$total" -v r="$requests" -v c="$connections" -v nt="$newTotal" -v nr="$newRequests" \
      'BEGIN{ if (r <= c || nr == 0) { printf "-"; exit } printf "%.0f", (t - c*nt/nr) / (r - c) }'
  fi
}

# ---- the table -----------------------------------------------------------
echo
echo "== request path: A service, B bare libmicrohttpd, C nginx (best of $rounds rounds of ${seconds}s) =="
printf '%-24s %-7s %9s %8s %8s %10s %10s %7s %7s %14s\n' "mode" "who" "req/s" "p50 ms" "p99 ms" "instr/req" \
  "no memset" "A/B" "A/C" "CPU us usr/sys"
modeName() {
  case "$1" in
    ka1) echo "1 keep-alive conn" ;;
    ka8) echo "8 keep-alive conns" ;;
    six) echo "8 conns, 6 clients each" ;;
    new) echo "new conn per request" ;;
  esac
}
for mode in $modes; do
  read -r bRps _ <"$work/best.$mode.B"
  read -r cRps _ <"$work/best.$mode.C"
  for who in $contenders; do
    read -r rps p50 p99 errors <"$work/best.$mode.$who"
    ratioB="" ratioC=""
    if [ "${who#A-}" != "$who" ]; then
      ratioB=$(awk -v a="$rps" -v b="$bRps" 'BEGIN{ if (b > 0) printf "%.2f", a/b }')
      ratioC=$(awk -v a="$rps" -v b="$cRps" 'BEGIN{ if (b > 0) printf "%.2f", a/b }')
    fi
    note=""
    [ "$errors" -eq 0 ] || note="  ($errors errors)"
    read -r cpuUser cpuSystem <"$work/bestcpu.$mode.$who"
    printf '%-24s %-7s %9s %8s %8s %10s %10s %7s %7s %14s%s\n' "$(modeName "$mode")" "$who" "$rps" "$p50" "$p99" \
      "$(instructions "$who" "$mode")" "$(instructions "$who" "$mode" nomemset)" "$ratioB" "$ratioC" \
      "$cpuUser/$cpuSystem" "$note"
  done
done

echo
echo "== other figures =="
read -r _ open50 open99 _ _ _ <"$work/open.txt"
read -r _ hand50 hand99 _ _ _ <"$work/handoff.txt"
read -r _ direct50 direct99 _ _ _ <"$work/direct.txt"
read -r _ start50 startMax <"$work/startup.txt"
read -r soakRps _ <<<"$soakLine"
printf '%-44s %s\n' "resident memory idle, A / B / C (MiB)" \
  "$(awk -v a="$aIdle" -v b="$bIdle" -v c="$cIdle" 'BEGIN{printf "%.1f / %.1f / %.1f (A/B %.2f)", a/1024, b/1024, c/1024, a/b}')"
printf '%-44s %s\n' "A with 32 open sessions (MiB)" "$(awk -v a="$a32" 'BEGIN{printf "%.1f", a/1024}')"
printf '%-44s %s\n' "A after a ${soak}s soak at $soakRps req/s (MiB)" "$(awk -v a="$aSoak" 'BEGIN{printf "%.1f", a/1024}')"
printf '%-44s %s\n' "session opening p50 / p99 (ms)" "$open50 / $open99"
printf '%-44s %s\n' "start to \"initialization: Success\" (ms)" "p50 $start50, max $startMax"
printf '%-44s %s\n' "main-thread hand-off, quick call p50 / p99 (ms)" "$hand50 / $hand99 (without: $direct50 / $direct99)"
printf '%-44s %s\n' "heap blocks allocated per echo, A / B" "$(cat "$work/allocs.A") / $(cat "$work/allocs.B")"
printf '%-44s %s\n' "system calls per echo, A" "$(cat "$work/syscalls.A")"
printf '%-44s %s\n' "system calls per echo, B" "$(cat "$work/syscalls.B")"
for sink in $sinks; do
  read -r rps p50 p99 errors cpu <"$work/sink.$sink"
  printf '%-44s %s\n' "echo, 1 conn, console: $sink" "$rps req/s, p50 $p50 ms, p99 $p99 ms, CPU $cpu us/req"
done
printf '%-44s %s\n' "machine" "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
