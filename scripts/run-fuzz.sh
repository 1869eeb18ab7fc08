#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the fuzz preset) and runs each one for a fixed number
# of runs over its seed corpus in tests/fuzz/corpus/<name>/. Exits non-zero when a target crashes
# or fails to build.
#
#   scripts/run-fuzz.sh [build-dir]      default build dir: build/fuzz
#   OSTRELTCP_FUZZ_RUNS=N                runs per target (default 100000)
#   OSTRELTCP_FUZZ_LINK_SECONDS=S        time limit of each link_* target (default 20): each of
#                                        their runs plays a connection, so they run far slower
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/fuzz}
runs=${OSTRELTCP_FUZZ_RUNS:-100000}
link_seconds=${OSTRELTCP_FUZZ_LINK_SECONDS:-20}

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null

targets=()
for corpus in "$root"/tests/fuzz/corpus/*/; do
    targets+=("$(basename "$corpus")")
done
if [ ${#targets[@]} -eq 0 ]; then
    echo "run-fuzz: no corpus directories under tests/fuzz/corpus" >&2
    exit 1
fi
cmake --build "$build" --target "${targets[@]/%/_fuzz}"

# New inputs and crash reproducers go to a scratch directory, never into the seed corpus.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for name in "${targets[@]}"; do
    mkdir -p "$scratch/$name" "$scratch/$name-artifacts"
    limits=(-runs="$runs")
    case "$name" in
        link_*) limits+=(-max_total_time="$link_seconds") ;;
    esac
    echo "run-fuzz: $name, ${limits[*]}"
    if ! "$build/tests/fuzz/${name}_fuzz" "${limits[@]}" -seed=1 -max_len=4096 \
        -artifact_prefix="$scratch/$name-artifacts/" "$scratch/$name" "$root/tests/fuzz/corpus/$name"; then
        echo "run-fuzz: $name failed; reproducers:" >&2
        for artifact in "$scratch/$name-artifacts"/*; do
            [ -e "$artifact" ] || continue
            mkdir -p "$build/artifacts"
            cp "$artifact" "$build/artifacts/"
            echo "  $build/artifacts/$(basename "$artifact")" >&2
        done
        exit 1
    fi
done
