#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the acquisition tool. Without
# --address the tool starts the built-in instrument simulator on free loopback ports.
# Usage: scripts/run.sh [ostrel-acquire options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec build/default/tools/ostrel-acquire/ostrel-acquire "$@"
