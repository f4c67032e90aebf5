#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# build_outside.sh BUILD OUT CC CXX SOURCE -- installs the adapter SDK of the
# build tree BUILD into OUT/sdk and builds SOURCE as an adapter in OUT/build
# with a project that knows nothing of this tree but the installed package.
set -euo pipefail
build="$1" out="$2" cc="$3" cxx="$4" source="$5"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
rm -rf "$out"
cmake --install "$build" --component adapter_sdk --prefix "$out/sdk"
# The sanitizer builds' archive holds instrumented code: the adapter is then
# loaded only into instrumented test binaries, whose runtime it uses.
cmake -S "$here/outside" -B "$out/build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$out/sdk" -DADAPTER_SOURCE="$source" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror"
cmake --build "$out/build"
test -f "$out/build/KestrovanOutside.so"
