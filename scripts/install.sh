#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# install.sh [--uninstall] -- installs the service for the user who runs it,
# so that it runs in the background from every login on: builds the release
# (as the run command does), copies the executable, the provisioning command,
# the doctor and the PKI adapter into the install folder, and enables a systemd user
# unit that provisions the certificate and starts the service.
#
#   KESTROVAN_PREFIX      install folder (default ~/.local/lib/kestrovan)
#   KESTROVAN_BUILD       an existing build tree to install from, instead of
#                         building (it must hold the three targets)
#   KESTROVAN_NO_SYSTEMD=1  write the unit but leave systemd alone
#   KESTROVAN_NO_NSS=1    do not trust the local CA in the user's NSS databases
#
# Run it as the user, not with sudo: everything it writes is in that user's
# home. The build packages come from `sudo ./scripts/setup.sh`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
: "${HOME:?HOME must be set}"
prefix="${KESTROVAN_PREFIX:-$HOME/.local/lib/kestrovan}"
config="${XDG_CONFIG_HOME:-}"
case "$config" in /*) ;; *) config="$HOME/.config" ;; esac
unit_dir="$config/systemd/user"
unit="$unit_dir/kestrovan.service"
# The folder goes into the unit file as written: keep to characters that
# need no quoting there (no blanks, no "%" specifiers).
case "$prefix" in
  /*) ;;
  *) echo "install: KESTROVAN_PREFIX must be an absolute path" >&2; exit 2 ;;
esac
if [[ ! "$prefix" =~ ^[A-Za-z0-9._/+@-]+$ ]]; then
  echo "install: the install folder '$prefix' holds characters a unit file cannot take as written; set KESTROVAN_PREFIX" >&2
  exit 2
fi

say() { echo "install: $*"; }

# systemctl --user, or nothing when it is switched off or cannot reach the
# user's manager (no login session, a container).
user_systemd() {
  [ "${KESTROVAN_NO_SYSTEMD:-0}" = "1" ] && return 1
  command -v systemctl >/dev/null || return 1
  systemctl --user show-environment >/dev/null 2>&1
}

if [ "${1:-}" = "--uninstall" ]; then
  if user_systemd; then
    systemctl --user disable --now kestrovan.service >/dev/null 2>&1 || true
  fi
  rm -f "$unit"
  user_systemd && systemctl --user daemon-reload || true
  # Only a folder that holds our executable is ours to remove.
  if [ -x "$prefix/NORTAKestrovan" ]; then
    rm -rf "$prefix"
  fi
  say "removed $unit and $prefix"
  say "kept $HOME/NORTAKestrovan (server key and certificate) and $config/kestrovan (allow-list, keys)"
  exit 0
elif [ -n "${1:-}" ]; then
  echo "usage: install.sh [--uninstall]" >&2
  exit 2
fi

if [ -n "${KESTROVAN_BUILD:-}" ]; then
  out="$KESTROVAN_BUILD"
else
  out="${KESTROVAN_BUILD_ROOT:-$root/build}/release"
  command -v cmake >/dev/null || { echo "install: cmake is missing; run sudo ./scripts/setup.sh first" >&2; exit 1; }
  bash "$root/scripts/release.sh" "$out"
fi
exe="$out/service/NORTAKestrovan"
provision="$out/tools/NORTAKestrovanProvision"
doctor="$out/tools/NORTAKestrovanDoctor"
adapter="$out/service/NORTA/HelmPKICryptAdapter.so"
sites="$out/service/NORTA/kestrovan-helm-sites"
chooser="$out/service/NORTA/kestrovan-helm-chooser"
for file in "$exe" "$provision" "$doctor" "$adapter" "$sites" "$chooser"; do
  [ -f "$file" ] || { echo "install: $file is missing from the build" >&2; exit 1; }
done

# A fresh folder renamed into place: a running service keeps the files it
# started from, and nobody ever sees a half-copied adapter.
mkdir -p "$(dirname "$prefix")"
stage="$prefix.new.$$"
old="$prefix.old.$$"
rm -rf "$stage"
mkdir -m 0755 "$stage" "$stage/NORTA"
install -m 0755 "$exe" "$provision" "$doctor" "$sites" "$stage/"
install -m 0755 "$adapter" "$stage/NORTA/"
# The adapter's own list dialog and its dialogs' translations, beside it.
install -m 0755 "$chooser" "$stage/NORTA/"
cp -R "$out/service/NORTA/locale" "$stage/NORTA/"
if [ -e "$prefix" ]; then
  mv "$prefix" "$old"
fi
mv "$stage" "$prefix"
rm -rf "$old"
say "installed into $prefix"

options=""
if [ "${KESTROVAN_NO_NSS:-0}" != "1" ] && command -v certutil >/dev/null; then
  options=" --nss"
fi
mkdir -p "$unit_dir"
sed -e "s|@PREFIX@|$prefix|g" -e "s|@PROVISION_OPTIONS@|$options|g" \
  "$root/scripts/install.d/kestrovan.service.in" >"$unit.new"
mv "$unit.new" "$unit"
say "wrote $unit"

if user_systemd; then
  systemctl --user daemon-reload
  systemctl --user enable kestrovan.service >/dev/null
  systemctl --user restart kestrovan.service
  say "started; it starts again at every login (systemctl --user status kestrovan, journalctl --user -u kestrovan)"
else
  say "systemd's user manager was not used; start the service with:"
  say "  systemctl --user daemon-reload && systemctl --user enable --now kestrovan"
  say "or run $prefix/NORTAKestrovanProvision$options and then $prefix/NORTAKestrovan"
fi
say "the PKI adapter asks you (in a dialog) before a site may use your certificates;"
say "  $prefix/kestrovan-helm-sites list | revoke ORIGIN shows and takes back the sites you always allow"
say "when a page cannot reach the service: $prefix/NORTAKestrovanDoctor"
