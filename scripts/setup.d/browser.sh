#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# browser.sh -- installs the browser tests' npm packages: playwright-core
# (drives Chromium) and puppeteer-core (drives Firefox over WebDriver BiDi),
# at the versions tests/browser/package-lock.json pins. The browsers are
# Debian's chromium and firefox-esr (scripts/packages/browser.txt); nothing
# downloads a browser build or a driver.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
dir="$root/tests/browser"

if ! command -v npm >/dev/null; then
  echo "setup: npm is missing (it comes with the nodejs package)" >&2
  exit 1
fi
installed="$dir/node_modules/.package-lock.json"
if [ ! -f "$installed" ] || [ "$dir/package-lock.json" -nt "$installed" ]; then
  echo "setup: installing the browser tests' npm packages"
  (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi
