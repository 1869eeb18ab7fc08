#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a lab machine would, uses it from the
# PATH and the system's directories (the tools, their manual pages, the README's Python example
# with the system's python3, the live view, C and CMake hosts), and removes it again, checking
# that nothing it brought is left behind.
# Usage: tests/packaging/test-deb.sh [--build-only] [BUILD_DIR]   (default: build/package)
# --build-only configures and builds BUILD_DIR and stops: no package, no apt, so that it can run
# beside an apt-get install; the full run after it then finds the build done.
# BUILD_DIR is configured for the package: prefix /usr (so the library goes to the multiarch
# directory), no tests, no benchmarks, and the same -O2 as RelWithDebInfo without its debug
# information, which the package strips anyway (a third less compile time). Installing needs root; without it the package is built and
# checked, and the install is reported as SKIPPED. Exits non-zero on any failure.
set -euo pipefail
# shellcheck source=tests/packaging/consumer-checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/consumer-checks.sh"

build_only=0
if [ "${1:-}" = "--build-only" ]; then
    build_only=1
    shift
fi
build="${1:-$repository_root/build/package}"
version="$(project_version)"
work="$(mktemp -d)"
installed_here=0

remove_package() {
    if [ "$installed_here" -eq 1 ]; then
        say "apt-get remove --purge -y ostreltcp"
        if ! DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q ostreltcp \
            >"$work/remove.log" 2>&1; then
            cat "$work/remove.log" >&2
            return 1
        fi
        installed_here=0
    fi
}
cleanup() {
    remove_package || true
    rm -rf "$work"
}
trap cleanup EXIT

say "configuring $build for the package (prefix /usr)"
cmake -S "$repository_root" -B "$build" -G "$(consumer_generator)" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_INSTALL_PREFIX=/usr \
    -DOSTRELTCP_BUILD_TESTS=OFF -DOSTRELTCP_BUILD_BENCH=OFF -DOSTRELTCP_MANPAGES=ON \
    >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; complain "configure"; exit 1; }
cmake --build "$build"
if [ "$build_only" -eq 1 ]; then
    exit 0
fi
rm -f "$build"/ostreltcp_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; complain "cpack -G DEB"; exit 1; }
deb="$build/ostreltcp_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { complain "$deb was not made"; exit 1; }

say "$deb: $(stat -c %s "$deb") bytes"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

# The package must hold what an install of the same tree holds, below /usr.
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")"
dpkg-deb --contents "$deb" | awk '{ kind = substr($1, 1, 1); path = $6
    if (kind != "d") { sub("^\\./usr/", "", path); print path, (kind == "l" ? "l" : "f") } }' |
    LC_ALL=C sort >"$work/package-tree"
if ! diff -u <(expected_tree "$build" "$libdir") "$work/package-tree"; then
    complain "the package's files differ from the expected ones (- expected, + packaged)"
    exit 1
fi
case "$libdir" in
    lib/*-linux-gnu) ;;
    *) complain "the library is packaged in /usr/$libdir, not in the multiarch directory"; exit 1 ;;
esac
# dpkg-shlibdeps' findings for what the binaries link, the control fields for what they load.
depends="$(dpkg-deb --field "$deb" Depends)"
for needed in libc6 libstdc++6 libfftw3-double3 python3 python3-numpy; do
    if [[ ", $depends," != *", $needed "* && ", $depends," != *", $needed,"* ]]; then
        complain "the package does not depend on $needed: '$depends'"
        exit 1
    fi
done
# The licence's own paragraph is the last one that starts "License: Expat".
if ! cmp -s <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/ostreltcp/copyright |
    awk '/^License: Expat$/ { body = ""; next }
         { sub(/^ \.$/, ""); sub(/^ /, ""); body = body $0 "\n" }
         END { printf "%s", body }') \
    <(sed -n '/^Permission is hereby granted/,$p' "$repository_root/LICENSE"); then
    complain "the package's copyright file does not carry the text of LICENSE"
    exit 1
fi

if [ "$(id -u)" -ne 0 ]; then
    say "SKIPPED: installing the package needs root"
    exit 0
fi
state="$(dpkg-query -W -f='${Status}' ostreltcp 2>/dev/null || true)"
if [ "$state" = "install ok installed" ]; then
    # Left by a run that was killed before its clean-up: CI removes it; elsewhere it may be a
    # copy someone relies on, so it is left alone.
    if [ "${CI:-}" != "true" ]; then
        complain "ostreltcp is installed already; remove it first (apt-get remove ostreltcp)"
        exit 1
    fi
    say "removing the ostreltcp package left by an earlier run"
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q ostreltcp >/dev/null
fi

# What exists before the install, so that the removal can be checked to take away all it brought.
dpkg-deb --contents "$deb" | awk '{ path = $6; sub("^\\.", "", path); sub("/$", "", path)
    if (path != "") print path }' >"$work/package-paths"
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
done <"$work/package-paths" >"$work/existing-before"

say "apt-get install -y $deb"
installed_here=1
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q "$deb" >"$work/install.log" 2>&1; then
    # A clean machine may lack the package lists that the dependencies come from.
    apt-get update -q >/dev/null
    apt-get install -y -q "$deb" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; complain "apt-get install"; exit 1; }
fi

# From a directory outside the tree, with the build tree's variables out of the way.
cd "$work"
unset OSTRELTCP_LIBRARY PKG_CONFIG_PATH LD_LIBRARY_PATH CC CXX CFLAGS CXXFLAGS LDFLAGS
for tool in ostrel-acquire ostrel-sim; do
    where="$(command -v "$tool" || true)"
    if [ "$where" != "/usr/bin/$tool" ]; then
        complain "$tool is not on the PATH as /usr/bin/$tool (found: '${where}')"
        exit 1
    fi
    "$tool" --help >"$work/$tool-help.txt" || { complain "$tool --help"; exit 1; }
    say "$tool --help: $(head -1 "$work/$tool-help.txt")"
done
# Into a file first: with pipefail, grep -q leaving early would fail the pipeline.
ldconfig -p >"$work/ldconfig.txt"
if ! grep -q "libostreltcp.so.${version%%.*} " "$work/ldconfig.txt"; then
    complain "ldconfig does not know libostreltcp.so.${version%%.*}"
    exit 1
fi
check_pkgconfig_consumer "$work/pkgconfig"
check_cmake_consumer "$work"
check_installed_tool "$work" /usr/bin "/usr/$libdir"
check_guide_example "$work/guide" /usr/bin
pythondir="$(sed -n 's/^OSTRELTCP_INSTALL_PYTHONDIR:[A-Z]*=//p' "$build/CMakeCache.txt")"
check_python_example "$work/python" /usr/bin "/usr/$libdir" "/usr/$pythondir"
if grep -q -- '--live' "$work/ostrel-acquire-help.txt"; then
    check_live_view "$work/live" /usr/bin
fi
for tool in ostrel-acquire ostrel-sim; do
    page="$(man -w "$tool" 2>/dev/null || true)"
    if [ "$page" != "/usr/share/man/man1/$tool.1.gz" ]; then
        complain "man does not find the manual page of $tool (found: '$page')"
        exit 1
    fi
    if ! MANPAGER=cat MANWIDTH=80 man "$tool" 2>/dev/null >"$work/$tool.man" ||
        ! grep -q -- '--help' "$work/$tool.man"; then
        complain "man $tool does not show the program's options"
        exit 1
    fi
    say "man $tool: $(sed -n '/^NAME/{n;p;q}' "$work/$tool.man" | sed 's/^ *//')"
done

remove_package
ldconfig -p >"$work/ldconfig.txt"
if grep -q libostreltcp "$work/ldconfig.txt"; then
    complain "ldconfig still knows libostreltcp after the removal"
    exit 1
fi
# Every file and folder of the package that was not there before must be gone, and so must
# anything made below them (the Python byte code).
left=()
while read -r path; do
    if { [ -e "$path" ] || [ -L "$path" ]; } && ! grep -qxF "$path" "$work/existing-before"; then
        left+=("$path")
    fi
done <"$work/package-paths"
if [ ${#left[@]} -ne 0 ]; then
    complain "apt-get remove --purge left behind: ${left[*]}"
    exit 1
fi
say "PASSED: built, installed, used and removed $(basename "$deb")"
