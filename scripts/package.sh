#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# package.sh [OUT] -- builds the Debian package kestrovan_VERSION_ARCH.deb with
# CPack's DEB generator in the build tree OUT (default build/deb): a release
# build with Debian's hardening flags (dpkg-buildflags), the files where
# cmake/KestrovanPackage.cmake puts them, dependencies from dpkg-shlibdeps;
# then lintian checks it (KESTROVAN_NO_LINTIAN=1 skips that) and fails the
# command on any error or warning that the package does not override with a
# reason. Prints the package's path on its last line.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/build/deb}"
for tool in cmake cpack dpkg-buildflags dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing; run sudo ./scripts/setup.sh" >&2; exit 1; }
done

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# The trace prints the compile time on purpose (__DATE__, __TIME__): without
# -Wdate-time, and with the time of the last commit (SOURCE_DATE_EPOCH, which
# gcc uses for them), the build stays reproducible.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse HEAD >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct)"
  export SOURCE_DATE_EPOCH
fi
cppflags="$(dpkg-buildflags --get CPPFLAGS | sed 's/-Wdate-time//')"
CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKESTROVAN_WERROR=ON \
  -DKESTROVAN_BUILD_TESTS=OFF -DKESTROVAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j "${KESTROVAN_JOBS:-$(nproc)}" >/dev/null
rm -f "$out"/kestrovan_*.deb
(cd "$out" && cpack -G DEB >/dev/null)
deb="$(ls "$out"/kestrovan_*.deb)"
if [ "${KESTROVAN_NO_LINTIAN:-0}" != 1 ]; then
  command -v lintian >/dev/null || { echo "package: lintian is missing; run sudo ./scripts/setup.sh" >&2; exit 1; }
  lintian --fail-on error,warning --display-info "$deb" >&2
fi
echo "$deb"
