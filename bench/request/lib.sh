# SPDX-License-Identifier: Apache-2.0
# lib.sh -- what the request-path benchmarks share (sourced by run.sh,
# peer_check.sh and profile.sh): the bench build, a private work folder with an
# installation, form bodies, requests with curl, the service started and
# stopped with its console in a file. The caller sets root, build, exe (the
# service to start) and origin; ports (the service's three ports) come from
# service/ports.h; makeWork sets work and pids (processes to end on exit).

# shellcheck disable=SC2034  # used by the scripts that source this one
mapfile -t ports < <(sed -n 's/^#define KESTROVAN_PORT_\(FIRST\|SECOND\|THIRD\) \([0-9]*\)$/\2/p' "$root/service/ports.h")

needTools() {  # needTools TOOL...: ends the script when one is missing
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "${0##*/}: $tool is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }
  done
}
buildTargets() {  # buildTargets TARGET...: in the bench build tree (RelWithDebInfo, no tests)
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVAN_BUILD_TESTS=OFF \
    -DKESTROVAN_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j "${KESTROVAN_JOBS:-$(nproc)}" --target "$@" >/dev/null
}
makeWork() {  # makeWork: $work, removed on exit (KB_KEEP keeps it) after the processes in pids end
  work="$(mktemp -d /tmp/kestrovan-bench-XXXXXX)"
  [ -z "${KB_KEEP:-}" ] || echo "${0##*/}: work folder $work (kept)" >&2
  chmod 700 "$work"
  pids=()
  trap cleanupWork EXIT
}
cleanupWork() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  [ -n "${KB_KEEP:-}" ] || rm -rf "$work"
}
# An installation: the executables in $work/bin with the bench adapter under
# NORTA/, and a provisioned HOME.
installService() {  # installService EXECUTABLE...
  mkdir -p "$work/bin/NORTA" "$work/home"
  cp "$@" "$work/bin/"
  cp "$build/bench/request/NORTA/HelmPKICryptAdapter.so" "$work/bin/NORTA/"
  export HOME="$work/home"
  "$build/tools/NORTAKestrovanProvision" >/dev/null
}

# The form body of a JSON text: "Parameter=" and its URL-encoded Base64.
formBody() {
  printf 'Parameter=%s' "$(printf '%s' "$1" | base64 -w0 | sed 's/+/%2B/g; s#/#%2F#g; s/=/%3D/g')"
}
post() {  # post URL BODY_FILE -> answer body
  curl -gsk --max-time 30 -H "Origin: $origin" -H "Host: localhost:${ports[0]}" --data-binary @"$2" "$1"
}
answerValue() {  # answerValue KEY <answer -> decoded value
  sed -n "s/.*\"$1\": *\"\\([^\"]*\\)\".*/\\1/p" | base64 -d
}
waitForLine() {  # waitForLine FILE TEXT SECONDS
  local end=$((SECONDS + $3))
  until sed 's/\x1b\[[0-9;]*m//g' "$1" 2>/dev/null | grep -qF "$2"; do
    [ "$SECONDS" -lt "$end" ] || { echo "${0##*/}: no \"$2\" in $1" >&2; tail -20 "$1" >&2; exit 1; }
    sleep 0.05
  done
}
# Where the console goes (KB_TRACE): a file in the work folder by default or
# the path given; "pipe" a pipe read by cat into a file; "stall" a pipe that
# a process holds open and never reads; "null" /dev/null. Without a file to
# read, start-up is seen from the six listeners taking connections.
startOnce() {  # startOnce [wrapper...] -> $servicePid, console in $trace (none for stall and null)
  trace="$work/trace.$RANDOM.txt"
  case "${KB_TRACE:-}" in
    pipe)
      rm -f "$work/trace.fifo"
      mkfifo "$work/trace.fifo"
      cat "$work/trace.fifo" >"$trace" &
      pids+=("$!")
      "$@" "$exe" >"$work/trace.fifo" 2>&1 &
      ;;
    stall)
      trace=""
      rm -f "$work/stall.fifo"
      mkfifo "$work/stall.fifo"
      sleep 1000000 <"$work/stall.fifo" &
      pids+=("$!")
      "$@" "$exe" >"$work/stall.fifo" 2>&1 &
      ;;
    null)
      trace=""
      "$@" "$exe" >/dev/null 2>&1 &
      ;;
    *)
      [ -z "${KB_TRACE:-}" ] || trace="$KB_TRACE"
      "$@" "$exe" >"$trace" 2>&1 &
      ;;
  esac
  servicePid=$!
  pids+=("$servicePid")
  if [ -n "$trace" ]; then
    waitForLine "$trace" "NORTAKestrovan initialization: " 300
  else
    waitForListeners 300
  fi
}
# Whether all six listeners take connections.
allListening() {
  local port
  for port in "${ports[@]}"; do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || return 1
    (exec 3<>"/dev/tcp/::1/$port") 2>/dev/null || return 1
  done
  return 0
}
waitForListeners() {  # waitForListeners SECONDS
  local end=$((SECONDS + $1))
  until allListening; do
    kill -0 "$servicePid" 2>/dev/null || { echo "${0##*/}: the service ended at start" >&2; exit 1; }
    [ "$SECONDS" -lt "$end" ] || { echo "${0##*/}: the listeners did not start" >&2; exit 1; }
    sleep 0.05
  done
}
# Starts the service once it holds all six listeners: another copy (another
# build's tests) may take a port between the check and the start.
startService() {  # startService [wrapper...]
  local attempt
  for attempt in 1 2 3 4 5; do
    waitForFreePorts
    startOnce "$@"
    if [ -z "$trace" ] || [ "$(sed 's/\x1b\[[0-9;]*m//g' "$trace" | grep -c 'launch state: Success')" -eq 6 ]; then
      return 0
    fi
    echo "${0##*/}: the service did not get all six listeners, starting again" >&2
    stopPid "$servicePid"
    sleep 2
  done
  echo "${0##*/}: the service ports stay taken" >&2
  exit 1
}
stopPid() {  # stopPid PID: SIGTERM and wait
  kill "$1" 2>/dev/null || true
  for _ in $(seq 600); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
  kill -9 "$1" 2>/dev/null || true
}

# The service's ports are fixed: wait until no other copy (another build's
# tests) holds them.
portsBusy() {
  local port
  for port in "${ports[@]}"; do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    (exec 3<>"/dev/tcp/::1/$port") 2>/dev/null && return 0
  done
  return 1
}
waitForFreePorts() {
  local end=$((SECONDS + 600))
  while portsBusy; do
    [ "$SECONDS" -lt "$end" ] || { echo "${0##*/}: the service ports stay taken" >&2; exit 1; }
    sleep 1
  done
}

# A server on 127.0.0.1:PORT answers TLS (any answer but "could not connect").
waitForPort() {  # waitForPort PORT SECONDS
  local end=$((SECONDS + $2))
  until curl -sk -o /dev/null --max-time 2 "https://127.0.0.1:$1/" 2>/dev/null || [ $? -ne 7 ]; do
    [ "$SECONDS" -lt "$end" ] || { echo "${0##*/}: port $1 does not answer" >&2; exit 1; }
    sleep 0.05
  done
}
# A session on the running service opened with $work/open.body (which asks
# for the bench adapter); writes $work/echo.body, an echo on that session.
openEcho() {
  local sid
  sid=$(post "https://127.0.0.1:${ports[0]}/" "$work/open.body" | answerValue SessionID)
  [ -n "$sid" ] || { echo "${0##*/}: no session opened" >&2; exit 1; }
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"$sid\"}" >"$work/echo.body"
}

# Eight keep-alive connections from six client processes (h2load targets,
# URL@CONNECTIONS): spread 2,2,1,1,1,1 over the service's six listeners, or
# the same six clients all to one port of a server on 127.0.0.1 only (the
# load generator then costs every server the same, so only the server
# differs).
spreadSpecs() {
  echo "https://127.0.0.1:${ports[0]}/@2 https://[::1]:${ports[0]}/@2 https://127.0.0.1:${ports[1]}/@1" \
       "https://[::1]:${ports[1]}/@1 https://127.0.0.1:${ports[2]}/@1 https://[::1]:${ports[2]}/@1"
}
sameShapeSpecs() {  # sameShapeSpecs PORT
  local url="https://127.0.0.1:$1/"
  echo "$url@2 $url@2 $url@1 $url@1 $url@1 $url@1"
}
