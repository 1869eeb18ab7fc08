#!/usr/bin/env bash
# Prepares the control page's browser test in a folder of the build tree: the test script, and
# playwright-core at the version the live view's browser test pins (its install script and lock
# file), so that both tests drive Debian's chromium the same way.
# Usage: install.sh DESTINATION
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/../../live/browser/install.sh" "$1"
cp "$here/serve_page_test.mjs" "$1/"
