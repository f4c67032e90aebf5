#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# setup.sh -- installs what the build, the service and the tests need on a
# Debian 12 machine. Safe to run again: it installs only what is missing.
# Package lists live in scripts/packages/*.txt (one name a line, # comments);
# further set-up steps (npm packages, tokens) in scripts/setup.d/*.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root or install sudo" >&2; exit 1; }
  sudo_cmd=(sudo)
fi

mapfile -t wanted < <(cat "$root"/scripts/packages/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ -d "$root/scripts/setup.d" ]; then
  for step in "$root"/scripts/setup.d/*.sh; do
    [ -e "$step" ] || continue
    bash "$step"
  done
fi
