#!/usr/bin/env bash
# install_test.sh BUILD ROOT -- see CMakeLists.txt. Prints "ok: ..." per
# check and exits non-zero at the first check that fails.
set -euo pipefail
build="$1" root="$2"
work="$(mktemp -d)"
service_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill -KILL "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; [ -f "$work/service.log" ] && tail -20 "$work/service.log" >&2; exit 1; }
ok() { echo "ok: $*"; }

export HOME="$work/home"
mkdir -p "$HOME"
unset XDG_CONFIG_HOME
export KESTROVAN_BUILD="$build" KESTROVAN_NO_SYSTEMD=1 KESTROVAN_NO_NSS=1
prefix="$HOME/.local/lib/kestrovan"
unit="$HOME/.config/systemd/user/kestrovan.service"

bash "$root/scripts/install.sh" >"$work/install.log" || fail "install.sh: $(cat "$work/install.log")"
for file in "$prefix/NORTAKestrovan" "$prefix/NORTAKestrovanProvision" "$prefix/NORTA/HelmPKICryptAdapter.so" \
  "$prefix/kestrovan-helm-sites"; do
  [ -x "$file" ] || fail "$file not installed"
done
[ -z "$(find "$prefix" -perm /022 -not -type l)" ] || fail "files others may write: $(find "$prefix" -perm /022)"
ok "the executable, the provisioning command and the adapter are installed"

grep -qx "ExecStart=$prefix/NORTAKestrovan" "$unit" || fail "ExecStart: $(cat "$unit")"
grep -qx "ExecStartPre=$prefix/NORTAKestrovanProvision" "$unit" || fail "ExecStartPre: $(cat "$unit")"
grep -qx "WantedBy=default.target" "$unit" || fail "not wanted at login"
if command -v systemd-analyze >/dev/null; then
  mkdir -m 0700 "$work/runtime"
  verdict="$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify "$unit" 2>&1)" || fail "systemd-analyze: $verdict"
  [ -z "$verdict" ] || fail "systemd-analyze: $verdict"
  ok "systemd-analyze accepts the unit"
fi

# What systemd would run, as the unit says it.
pre="$(sed -n 's/^ExecStartPre=//p' "$unit")"
start="$(sed -n 's/^ExecStart=//p' "$unit")"
$pre >"$work/provision.log" 2>&1 || fail "provisioning: $(cat "$work/provision.log")"
[ -f "$HOME/NORTAKestrovan/ca.pem" ] || fail "no CA after provisioning"
$start >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 1 200); do
  grep -q "initialization: .*Success" "$work/service.log" && break
  kill -0 "$service_pid" 2>/dev/null || fail "the service ended at start"
  sleep 0.1
done
grep -q "initialization: .*Success" "$work/service.log" || fail "the service did not come up"
ok "the unit's commands provision and start the installed service"

origin="https://bank.example"
mkdir -p -m 0700 "$HOME/.config/kestrovan" "$HOME/.config/kestrovan/helm"
(umask 077 && echo "$origin" >"$HOME/.config/kestrovan/helm/allowed-origins")
echo_request() {
  local json='{"FunctionName":"KestrovanEcho","SessionId":"","PathID":"7E41A0C2D95B4F3E8A61C07B2D9F54E1","minServerVersion":"3.0.23.0721"}'
  curl -sS --max-time 20 --cacert "$HOME/NORTAKestrovan/ca.pem" -H "Origin: $origin" \
    --data-urlencode "Parameter=$(printf '%s' "$json" | base64 -w0)" https://127.0.0.1:56459/
}
field() { sed -n "s/.*\"$1\": \"\\([^\"]*\\)\".*/\\1/p" | base64 -d; }
answer="$(echo_request)" || fail "no answer"
[ "$(field result <<<"$answer")" = "0" ] || fail "echo: $answer"
[ -n "$(field LibVersion <<<"$answer")" ] || fail "no adapter version: $answer"
ok "a page opens a session on the installed PKI adapter"
[ "$("$prefix/kestrovan-helm-sites" list)" = "$origin" ] || fail "kestrovan-helm-sites list: $("$prefix/kestrovan-helm-sites" list 2>&1)"
ok "the installed kestrovan-helm-sites lists the allowed site"

# An update while the service runs: the running copy goes on serving.
bash "$root/scripts/install.sh" >"$work/install2.log" || fail "second install: $(cat "$work/install2.log")"
kill -0 "$service_pid" 2>/dev/null || fail "the update stopped the service"
answer="$(echo_request)" || fail "no answer after the update"
[ "$(field result <<<"$answer")" = "0" ] || fail "echo after the update: $answer"
ls -d "$prefix".* 2>/dev/null && fail "staging folders left behind"
ok "installing again while it runs replaces the files and leaves it serving"

kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=""
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"
grep -q "terminated\." "$work/service.log" || fail "no orderly end"
ok "SIGTERM (systemd's stop) ends it in order with status 0"

bash "$root/scripts/install.sh" --uninstall >"$work/uninstall.log" || fail "uninstall: $(cat "$work/uninstall.log")"
[ ! -e "$prefix" ] && [ ! -e "$unit" ] || fail "uninstall left $prefix or $unit"
[ -f "$HOME/NORTAKestrovan/ca.pem" ] || fail "uninstall removed the certificate"
ok "uninstall removes the files and the unit, keeps the user's certificate"

status=0
KESTROVAN_PREFIX="$work/with space" bash "$root/scripts/install.sh" >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "a folder with a blank was accepted (status $status)"
ok "an install folder a unit file cannot hold is refused"
