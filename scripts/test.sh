#!/usr/bin/env bash
# The test command: installs what is missing for the tests (the "tests" tier of scripts/setup.sh),
# builds the given preset (default: "default") and runs its whole test suite.
# Usage: scripts/test.sh [preset] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
scripts/setup.sh tests
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
