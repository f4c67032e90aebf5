#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# install_test.sh BUILD ROOT -- see CMakeLists.txt. Prints "ok: ..." per
# check and exits non-zero at the first check that fails.
set -euo pipefail
build="$1" root="$2"
source "$root/tests/common/installed.sh"

export HOME="$work/home"
mkdir -p "$HOME"
unset XDG_CONFIG_HOME
export KESTROVAN_BUILD="$build" KESTROVAN_NO_SYSTEMD=1 KESTROVAN_NO_NSS=1
prefix="$HOME/.local/lib/kestrovan"
unit="$HOME/.config/systemd/user/kestrovan.service"

bash "$root/scripts/install.sh" >"$work/install.log" || fail "install.sh: $(cat "$work/install.log")"
for file in "$prefix/NORTAKestrovan" "$prefix/NORTAKestrovanProvision" "$prefix/NORTAKestrovanDoctor" \
  "$prefix/NORTA/HelmPKICryptAdapter.so" "$prefix/kestrovan-helm-sites"; do
  [ -x "$file" ] || fail "$file not installed"
done
[ -z "$(find "$prefix" -perm /022 -not -type l)" ] || fail "files others may write: $(find "$prefix" -perm /022)"
ok "the executable, the provisioning command, the doctor and the adapter are installed"

grep -qx "ExecStart=$prefix/NORTAKestrovan" "$unit" || fail "ExecStart: $(cat "$unit")"
grep -qx "ExecStartPre=$prefix/NORTAKestrovanProvision" "$unit" || fail "ExecStartPre: $(cat "$unit")"
grep -qx "WantedBy=default.target" "$unit" || fail "not wanted at login"
# A start that finds every port held by someone else fails; it is retried
# without end.
grep -qx "Restart=on-failure" "$unit" || fail "no restart on failure"
grep -qx "RestartSec=10" "$unit" || fail "no restart delay"
grep -qx "StartLimitIntervalSec=0" "$unit" || fail "retries are limited"
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
key="$HOME/NORTAKestrovan/key.pem"
[ "$(stat -c '%a %u' "$key")" = "600 $(id -u)" ] || fail "key file: $(stat -c '%a %u' "$key")"
[ "$(stat -c '%a' "$HOME/NORTAKestrovan")" = 700 ] || fail "key folder: $(stat -c '%a' "$HOME/NORTAKestrovan")"
start_service $start
grep -q "Key filepath: .*$key" "$work/service.log" || fail "the service did not load the user's key"
grep -q "Server key" "$work/service.log" && fail "key warning: $(grep "Server key" "$work/service.log")"
ok "the unit's commands provision the user's own key (0600 in a 0700 folder) and start the installed service with it"

origin="https://bank.example"
allow_origin
expect_session
ok "a page opens a session on the installed PKI adapter"
[ "$("$prefix/kestrovan-helm-sites" list)" = "$origin" ] || fail "kestrovan-helm-sites list: $("$prefix/kestrovan-helm-sites" list 2>&1)"
ok "the installed kestrovan-helm-sites lists the allowed site"

# The installed doctor finds the installed service and adapter by itself.
"$prefix/NORTAKestrovanDoctor" >"$work/doctor.log" 2>&1 || true
grep -q "^ok  *service  *127.0.0.1:56459: the service answers" "$work/doctor.log" || fail "doctor: $(cat "$work/doctor.log")"
grep -q "^ok  *adapter  *$prefix/NORTA/HelmPKICryptAdapter.so: version " "$work/doctor.log" || fail "doctor: $(cat "$work/doctor.log")"
ok "the installed doctor sees the running service and the installed adapter"

# An update while the service runs: the running copy goes on serving.
bash "$root/scripts/install.sh" >"$work/install2.log" || fail "second install: $(cat "$work/install2.log")"
kill -0 "$service_pid" 2>/dev/null || fail "the update stopped the service"
answer="$(echo_request)" || fail "no answer after the update"
[ "$(field result <<<"$answer")" = "0" ] || fail "echo after the update: $answer"
ls -d "$prefix".* 2>/dev/null && fail "staging folders left behind"
ok "installing again while it runs replaces the files and leaves it serving"

stop_service
ok "SIGTERM (systemd's stop) ends it in order with status 0"

bash "$root/scripts/install.sh" --uninstall >"$work/uninstall.log" || fail "uninstall: $(cat "$work/uninstall.log")"
[ ! -e "$prefix" ] && [ ! -e "$unit" ] || fail "uninstall left $prefix or $unit"
[ -f "$HOME/NORTAKestrovan/ca.pem" ] && [ -f "$key" ] || fail "uninstall removed the certificate or the key"
ok "uninstall removes the files and the unit, keeps the user's key and certificate"

status=0
KESTROVAN_PREFIX="$work/with space" bash "$root/scripts/install.sh" >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "a folder with a blank was accepted (status $status)"
ok "an install folder a unit file cannot hold is refused"
