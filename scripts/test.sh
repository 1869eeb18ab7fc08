#!/usr/bin/env bash
# The test command: installs what is missing, builds the given preset (default: "default") and
# runs its whole test suite. Usage: scripts/test.sh [preset] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
