#!/usr/bin/env bash
# Prepares the browser test in a folder of the build tree: the test script and the npm packages
# of package-lock.json (playwright-core, which drives Debian's chromium). npm runs only when the
# lock file differs from the one installed last, so later runs need no network.
# Usage: install.sh DESTINATION
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
destination="$1"
mkdir -p "$destination"
cp "$here/live_page_test.mjs" "$destination/"

if ! command -v npm >/dev/null 2>&1; then
    echo "install.sh: npm is missing; run scripts/setup.sh as root" >&2
    exit 1
fi
if [ -d "$destination/node_modules/playwright-core" ] &&
    cmp -s "$here/package-lock.json" "$destination/package-lock.json"; then
    exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$destination/"
cd "$destination"
# --ignore-scripts: playwright-core would otherwise offer to download browsers of its own; the
# test uses the system's chromium.
npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
