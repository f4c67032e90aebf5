#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# with_test_module.sh [NAME=]MODULE FOLDER COMMAND... -- runs COMMAND with the
# PKCS #11 module MODULE registered with p11-kit as NAME ("helm-locked" when
# no name is given). A NAME that a system module has ("softhsm2") takes that
# module's place.
#
# A normal user's p11-kit reads the user's module folder, which the test
# itself fills. p11-kit ignores that folder in a program running as root, so
# there the command gets a private mount namespace in which the system module
# folder is a copy (in FOLDER) with the test module added; nothing outside the
# command sees it. Where neither works the command runs with
# HELM_LOCKED_MODULE_UNAVAILABLE set, and the test reports that it skipped.
set -euo pipefail
name=helm-locked
module="$1"
case "$module" in *=*) name="${module%%=*}"; module="${module#*=}" ;; esac
folder="$2"
shift 2
system=/usr/share/p11-kit/modules
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi
if [ -d "$system" ] && unshare --mount --propagation private true 2>/dev/null; then
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$system"/*.module "$folder"/ 2>/dev/null || true
  printf 'module: %s\n' "$module" > "$folder/$name.module"
  exec unshare --mount --propagation private bash -c \
    'mount --bind "$0" /usr/share/p11-kit/modules && exec "$@"' "$folder" "$@"
fi
export HELM_LOCKED_MODULE_UNAVAILABLE=1
exec "$@"
