#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# package_test.sh OUT ROOT -- see CMakeLists.txt. Prints "ok: ..." per check
# and exits non-zero at the first check that fails.
set -euo pipefail
out="$1" root="$2"
source "$root/tests/common/installed.sh"

# Built by the one documented command; lintian inside it fails on any error
# or warning the package does not override with a reason.
deb="$(bash "$root/scripts/package.sh" "$out" 2>"$work/package.log" | tail -1)" || fail "package.sh: $(tail -30 "$work/package.log")"
[ -f "$deb" ] || fail "no package: $deb"
ok "scripts/package.sh built $(basename "$deb") and lintian passed it"

depends="$(dpkg-deb -f "$deb" Depends)"
for needed in libnss3-tools systemd libgnutls30 libmicrohttpd12 libp11-kit0; do
  grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
ok "dependencies declared: $depends"

# A throw-away root with an empty dpkg database and the folder the systemd
# package (a dependency) gives every root, /etc/systemd/user. Maintainer
# scripts run without chroot (the root has no shell) and see it as DPKG_ROOT.
target="$work/root"
mkdir -p "$target/etc/systemd/user" "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates" "$target/var/lib/dpkg/triggers"
touch "$target/var/lib/dpkg/status" "$target/var/lib/dpkg/available"
before="$(cd "$target" && find . | sort)"
dpkg_root() { dpkg --root="$target" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
dpkg_root -i "$deb" >"$work/install.log" 2>&1 || fail "dpkg -i: $(cat "$work/install.log")"
lib="$target/usr/lib/kestrovan"
for file in "$lib/NORTAKestrovan" "$lib/NORTAKestrovanProvision" "$lib/NORTAKestrovanDoctor" \
            "$lib/NORTAKestrovanPolicies" "$target/usr/bin/NORTAKestrovanDoctor" "$target/usr/bin/NORTAKestrovanProvision"; do
  [ -x "$file" ] || fail "$file not installed"
done
for file in "$lib/NORTA/HelmPKICryptAdapter.so" "$target/usr/lib/systemd/user/kestrovan.service" \
            "$target/usr/lib/systemd/user-preset/80-kestrovan.preset" "$target/usr/include/kestrovan/adapter.h" \
            "$target/usr/include/kestrovan/adapter_params.h" "$target/usr/lib/libkestrovan_adapter.a" \
            "$target/usr/share/doc/kestrovan/copyright" "$target/usr/share/man/man1/NORTAKestrovanDoctor.1.gz"; do
  [ -f "$file" ] || fail "$file not installed"
done
[ "$(readlink "$target/etc/systemd/user/default.target.wants/kestrovan.service")" = /usr/lib/systemd/user/kestrovan.service ] \
  || fail "the preset did not enable the unit for every user: $(find "$target/etc" 2>&1)"
ok "installed in FHS places; the preset enabled the user unit for every user"

unit="$target/usr/lib/systemd/user/kestrovan.service"
grep -qx "ExecStartPre=/usr/lib/kestrovan/NORTAKestrovanProvision --nss" "$unit" || fail "ExecStartPre: $(cat "$unit")"
grep -qx "ExecStart=/usr/lib/kestrovan/NORTAKestrovan" "$unit" || fail "ExecStart: $(cat "$unit")"
if command -v systemd-analyze >/dev/null; then
  # Checked where its programs are: the unit's paths moved into the root.
  mkdir -m 0700 "$work/runtime"
  sed "s|/usr/lib/kestrovan/|$lib/|g" "$unit" >"$work/kestrovan.service"
  cp "$target/usr/lib/systemd/user/kestrovan.socket" "$work/kestrovan.socket" || fail "no socket unit"
  verdict="$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify "$work/kestrovan.service" "$work/kestrovan.socket" 2>&1)" || fail "systemd-analyze: $verdict"
  [ -z "$verdict" ] || fail "systemd-analyze: $verdict"
  ok "systemd-analyze accepts the unit and its socket unit"
fi

# The unit's command lines, run from the root, for a throw-away user.
export HOME="$work/home"
mkdir -p "$HOME"
unset XDG_CONFIG_HOME
pre="$(sed -n 's/^ExecStartPre=//p' "$unit")"
start="$(sed -n 's/^ExecStart=//p' "$unit")"
$target$pre >"$work/provision.log" 2>&1 || fail "provisioning: $(cat "$work/provision.log")"
grep -q "the local CA is trusted in $HOME/.pki/nssdb" "$work/provision.log" || fail "no NSS import: $(cat "$work/provision.log")"
start_service $target$start
origin="https://bank.example"
allow_origin
expect_session
ok "the unit's commands provision and start the installed service; a page opens a session on its PKI adapter"

"$target/usr/bin/NORTAKestrovanDoctor" >"$work/doctor.log" 2>&1 || fail "doctor found a problem: $(cat "$work/doctor.log")"
grep -q "^ok  *adapter  *$lib/NORTA/HelmPKICryptAdapter.so: version " "$work/doctor.log" || fail "doctor: $(cat "$work/doctor.log")"
ok "the installed doctor finds no problem"

# Purged while the installed service runs, as an administrator would on a
# machine where users are logged in: the package's prerm ends every copy of
# its service in order, and nothing listens on the ports afterwards.
listening() { ss -Hltn 2>/dev/null | awk '{print $4}' | grep -E ':(56459|56559|56659)$' || true; }
[ -n "$(listening)" ] || fail "the installed service listens on no port before the purge"
dpkg_root --purge kestrovan >"$work/purge.log" 2>&1 || fail "dpkg --purge: $(cat "$work/purge.log")"
# The purge returns once the service has ended: a few seconds' grace, no
# more (an ended child has no executable left to name).
for _ in $(seq 1 50); do
  [ -n "$(readlink "/proc/$service_pid/exe" 2>/dev/null)" ] || break
  sleep 0.1
done
[ -z "$(readlink "/proc/$service_pid/exe" 2>/dev/null)" ] \
  || fail "the service still runs after the purge, listening on: $(listening | tr '\n' ' ')"
status=0
wait "$service_pid" || status=$?
service_pid=""
[ "$status" = 0 ] || fail "the service ended with status $status during the purge"
grep -q "terminated\." "$work/service.log" || fail "no orderly end during the purge"
[ -z "$(listening)" ] || fail "still listening after the purge: $(listening)"
for process in /proc/[0-9]*; do
  case "$(readlink "$process/exe" 2>/dev/null)" in
    "$lib/NORTAKestrovan"*) fail "a copy of the service still runs after the purge: ${process#/proc/}" ;;
  esac
done
ok "purging ends the running service in order; nothing listens on the ports afterwards"
after="$(cd "$target" && find . | sort)"
left="$(comm -13 <(echo "$before") <(echo "$after") | grep -v '^\./var/lib/dpkg' || true)"
[ -z "$left" ] || fail "left behind after purging: $left"
[ -f "$HOME/NORTAKestrovan/ca.pem" ] && [ -f "$HOME/.config/kestrovan/helm/allowed-origins" ] || fail "the user's data went"
ok "purged with nothing left in the root; the user's own data stays"
