# SPDX-License-Identifier: Apache-2.0
# installed.sh -- sourced by the installation tests (tests/install,
# tests/package): a work folder removed on exit with the service they
# started, "ok:"/"FAILED:" lines, starting an installed service and asking
# it for a session on its PKI adapter as a page of $origin would.
set -euo pipefail
work="$(mktemp -d)"
service_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill -KILL "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; [ -f "$work/service.log" ] && tail -20 "$work/service.log" >&2; exit 1; }
ok() { echo "ok: $*"; }

# start_service COMMAND... -- runs the service in the background (its
# console in $work/service.log) and waits until it is ready.
start_service() {
  "$@" >"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 1 200); do
    grep -q "initialization: .*Success" "$work/service.log" && return 0
    kill -0 "$service_pid" 2>/dev/null || fail "the service ended at start"
    sleep 0.1
  done
  fail "the service did not come up"
}

# stop_service -- SIGTERM, as systemd stops it; fails unless it ends in
# order with status 0.
stop_service() {
  kill -TERM "$service_pid"
  local status=0
  wait "$service_pid" || status=$?
  service_pid=""
  [ "$status" = 0 ] || fail "exit status $status after SIGTERM"
  grep -q "terminated\." "$work/service.log" || fail "no orderly end"
}

# allow_origin -- puts $origin on the PKI adapter's allow-list in $HOME.
allow_origin() {
  mkdir -p -m 0700 "$HOME/.config/kestrovan" "$HOME/.config/kestrovan/helm"
  (umask 077 && echo "$origin" >>"$HOME/.config/kestrovan/helm/allowed-origins")
}

# echo_request -- the page library's first request for a session on the
# bundled PKI adapter; prints the answer.
echo_request() {
  local json='{"FunctionName":"KestrovanEcho","SessionId":"","PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"}'
  curl -sS --max-time 20 --cacert "$HOME/NORTAKestrovan/ca.pem" -H "Origin: $origin" \
    --data-urlencode "Parameter=$(printf '%s' "$json" | base64 -w0)" https://127.0.0.1:56459/
}
# field NAME -- the decoded value NAME of an answer on standard input.
field() { sed -n "s/.*\"$1\": \"\\([^\"]*\\)\".*/\\1/p" | base64 -d; }

# expect_session -- a session opens on the adapter: result 0 and a version.
expect_session() {
  local answer
  answer="$(echo_request)" || fail "no answer"
  [ "$(field result <<<"$answer")" = "0" ] || fail "echo: $answer"
  [ -n "$(field LibVersion <<<"$answer")" ] || fail "no adapter version: $answer"
}
