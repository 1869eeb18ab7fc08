#!/usr/bin/env bash
# Installs a build tree into a prefix and uses the result as a host project and a lab user do.
# Usage: tests/packaging/run-consumer-test.sh [--prefix DIR] BUILD_DIR [STEP ...]
#   install    cmake --install BUILD_DIR --prefix DIR; the tree must hold exactly the expected
#              files, with the right soname and no run path into the build tree
#   cmake      a CMake project: find_package(OstrelTCP) and OstrelTCP::ostreltcp
#   pkgconfig  a plain compiler run with pkg-config's flags
#   tool       the installed ostrel-acquire finds the installed library by itself
#   guide      the host guide's example program acquires from the installed ostrel-sim
#   python     the README's Python example runs from the installed package, which finds the
#              installed library by itself
# Without steps all six run. Without --prefix a temporary prefix is used and removed again; with
# it, later steps can run on a tree that an earlier call installed. Exits non-zero on failure.
set -euo pipefail
# shellcheck source=tests/packaging/consumer-checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/consumer-checks.sh"

prefix=""
if [ "${1:-}" = "--prefix" ]; then
    prefix="$2"
    shift 2
fi
if [ $# -lt 1 ]; then
    sed -n '3,15p' "$0" >&2
    exit 2
fi
build="$(cd "$1" && pwd)"
shift
steps=("$@")
if [ ${#steps[@]} -eq 0 ]; then
    steps=(install cmake pkgconfig tool guide python)
fi

scratch="$(mktemp -d)"
cleanup() {
    rm -rf "$scratch"
}
trap cleanup EXIT
if [ -z "$prefix" ]; then
    prefix="$scratch/prefix"
fi
mkdir -p "$prefix"
prefix="$(cd "$prefix" && pwd)"

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
libdir="$(cache_value CMAKE_INSTALL_LIBDIR)"
version="$(project_version)"

actual_tree() {
    (cd "$prefix" && find . \( -type f -o -type l \) ! -name "$marker" -printf '%P %y\n') |
        LC_ALL=C sort
}

# The prefix is emptied before each install, so it must be one that this script made.
marker=".ostreltcp-test-prefix"

step_install() {
    if [ -n "$(ls -A "$prefix")" ] && [ ! -e "$prefix/$marker" ]; then
        complain "$prefix is not empty and was not made by this script; not touching it"
        return 1
    fi
    rm -rf "$prefix"
    mkdir -p "$prefix"
    touch "$prefix/$marker"
    say "cmake --install $build --prefix $prefix"
    if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log" >&2
        complain "cmake --install failed"
        return 1
    fi
    (cd "$prefix" && find . -type f ! -name "$marker" | LC_ALL=C sort)
    if ! diff -u <(expected_tree "$build" "$libdir") <(actual_tree) >"$scratch/tree.diff"; then
        cat "$scratch/tree.diff" >&2
        complain "the install tree differs from the expected one (- expected, + installed)"
        return 1
    fi
    local library="$prefix/$libdir/libostreltcp.so.$version" soname
    soname="$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')"
    if [ "$soname" != "libostreltcp.so.${version%%.*}" ]; then
        complain "the installed library's soname is '$soname'"
        return 1
    fi
    if ! cmp -s "$repository_root/include/ostreltcp.h" "$prefix/include/ostreltcp.h"; then
        complain "the installed header differs from include/ostreltcp.h"
        return 1
    fi
    # An installed program or library must not look for libraries in the build tree.
    local binary paths
    for binary in "$library" "$prefix"/bin/*; do
        [ -e "$binary" ] || continue
        paths="$(readelf -d "$binary" | grep -E '\((RPATH|RUNPATH)\)' || true)"
        if [[ "$paths" == *"$build"* ]]; then
            complain "$binary keeps a run path into the build tree"
            return 1
        fi
    done
    say "install tree: $(actual_tree | wc -l) entries as expected; soname $soname"
}

step_cmake() { check_cmake_consumer "$scratch" "$prefix"; }
step_pkgconfig() { check_pkgconfig_consumer "$scratch/pkgconfig" "$prefix/$libdir/pkgconfig"; }
step_tool() {
    if [ ! -x "$build/tools/ostrel-acquire/ostrel-acquire" ]; then
        say "tool: ostrel-acquire is not built here; nothing to check"
        return 0
    fi
    check_installed_tool "$scratch" "$prefix/bin" "$prefix/$libdir"
}

step_guide() {
    if [ ! -x "$build/sim/ostrel-sim" ]; then
        say "guide: ostrel-sim is not built here; nothing to check"
        return 0
    fi
    check_guide_example "$scratch/guide" "$prefix/bin" "$prefix/$libdir/pkgconfig"
}

step_python() {
    if [ ! -x "$build/sim/ostrel-sim" ]; then
        say "python: ostrel-sim is not built here; nothing to check"
        return 0
    fi
    local pythondir="$prefix/$(cache_value OSTRELTCP_INSTALL_PYTHONDIR)"
    check_python_example "$scratch/python" "$prefix/bin" "$prefix/$libdir" "$pythondir" \
        "$pythondir"
}

for step in "${steps[@]}"; do
    case "$step" in
        install | cmake | pkgconfig | tool | guide | python) "step_$step" ;;
        *)
            echo "unknown step $step" >&2
            exit 2
            ;;
    esac
done
say "PASSED: ${steps[*]}"
