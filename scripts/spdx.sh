#!/usr/bin/env bash
# spdx.sh [--check] -- every source file of the repository names its licence
# in an "SPDX-License-Identifier: Apache-2.0" line near its top (the first
# line, or the second after a "#!" line), in the file's own comment syntax.
# Without --check it adds the line where it is missing and changes nothing
# else (running it again changes nothing); with --check it changes nothing,
# lists the files without the line and fails when there are any.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tag="SPDX-License-Identifier: Apache-2.0"
check=0
[ "${1:-}" = "--check" ] && check=1

# The comment that starts a line in a file of this name; nothing for files
# that are not source.
comment_of() {
  case "$1" in
    *.cpp | *.h | *.c | *.inc | *.js | *.mjs | *.ts) echo "//" ;;
    *.sh | *.py | *.cmake | */CMakeLists.txt | CMakeLists.txt) echo "#" ;;
    *.lua) echo "--" ;;
    *) ;;
  esac
}

# Tracked files; every file below the root when this is no git checkout.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files="$(git -C "$root" ls-files)"
else
  files="$(cd "$root" && find . -path ./build -prune -o -type f -print | sed 's|^\./||')"
fi

missing=0
while IFS= read -r file; do
  [ -n "$file" ] || continue
  prefix="$(comment_of "$file")"
  [ -n "$prefix" ] || continue
  path="$root/$file"
  [ -f "$path" ] || continue
  if head -n 3 "$path" | grep -q "$tag"; then
    continue
  fi
  if [ "$check" = 1 ]; then
    echo "no \"$tag\" line: $file"
    missing=$((missing + 1))
    continue
  fi
  line="$prefix $tag"
  if head -n 1 "$path" | grep -q '^#!'; then
    { head -n 1 "$path"; echo "$line"; tail -n +2 "$path"; } >"$path.spdx"
  else
    { echo "$line"; cat "$path"; } >"$path.spdx"
  fi
  chmod --reference="$path" "$path.spdx"
  mv "$path.spdx" "$path"
done <<<"$files"

if [ "$check" = 1 ] && [ "$missing" -gt 0 ]; then
  echo "$missing source files name no licence: run scripts/spdx.sh"
  exit 1
fi
exit 0
