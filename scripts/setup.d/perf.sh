#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# perf.sh -- the request-path benchmark runs its own nginx on a high port
# (bench/request/run.sh). Debian's package starts and enables the system
# nginx on port 80 where it can: that instance is not wanted, so when it still
# serves only Debian's default site (nobody set it up), stop and disable it.
set -euo pipefail
command -v nginx >/dev/null || exit 0
sites=/etc/nginx/sites-enabled
if [ -d "$sites" ] && [ "$(ls -A "$sites")" != "default" ]; then
  exit 0  # configured by someone: leave it alone
fi
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
  if systemctl is-enabled --quiet nginx 2>/dev/null || systemctl is-active --quiet nginx 2>/dev/null; then
    echo "setup: stopping and disabling the system nginx (the benchmark runs its own)"
    "${sudo_cmd[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
  fi
elif [ -x /etc/init.d/nginx ]; then
  if /etc/init.d/nginx status >/dev/null 2>&1; then
    echo "setup: stopping the system nginx (the benchmark runs its own)"
    "${sudo_cmd[@]}" /etc/init.d/nginx stop >/dev/null 2>&1 || true
  fi
  if command -v update-rc.d >/dev/null && ls /etc/rc2.d/S*nginx >/dev/null 2>&1; then
    "${sudo_cmd[@]}" update-rc.d nginx disable >/dev/null 2>&1 || true
  fi
fi
