#!/usr/bin/env bash
# The main job: installs what is missing for it (the "main" tier of scripts/setup.sh, no test or
# Windows packages), builds the driver, the simulator, the spectral library and the tool in their
# own build tree (preset "run", build/run, no tests or benchmarks, so that scripts/test.sh's
# build/default is left alone), and runs the acquisition tool. Without --address the tool starts
# the built-in instrument simulator on free loopback ports.
# Usage: scripts/run.sh [ostrel-acquire options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh main
cmake --preset run >/dev/null
cmake --build --preset run >/dev/null
exec build/run/tools/ostrel-acquire/ostrel-acquire "$@"
