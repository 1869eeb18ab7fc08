#!/usr/bin/env bash
# Builds both Windows DLLs (presets win64 and win32) and assembles one ZIP for Windows hosts:
#   ostreltcp-<version>-windows/
#     LICENSE, host-guide.md, windows.md
#     x64/ and x86/, each an install prefix of its build:
#       bin/OstrelTCP.dll              the driver (x86: stdcall exports)
#       lib/OstrelTCP.dll.a            its import library
#       lib/ostreltcp.def              the exports at their fixed ordinals
#       include/ostreltcp.h            the header
#       lib/cmake/OstrelTCP/           find_package(OstrelTCP) for MinGW/CMake hosts
# Each DLL is checked (machine type, 39 exports), and host programs are built against each tree
# with MinGW; where Wine is installed, one of them runs its checks under Wine.
# Usage: scripts/package-windows.sh [OUTPUT_DIR]   (default: build)
# Installs the "windows" tier of scripts/setup.sh first. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh windows
root="$(pwd)"
output="$(mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)"
# The driver's version is the public header's.
version=""
for part in MAJOR MINOR PATCH; do
    number="$(sed -n "s/^#define OSTRELTCP_VERSION_$part \([0-9][0-9]*\)\$/\1/p" include/ostreltcp.h)"
    version="${version:+$version.}$number"
done
name="ostreltcp-$version-windows"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stage="$work/$name"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# preset, directory in the package, objdump's name for the machine, objdump program
builds=(
    "win64 x64 pei-x86-64 x86_64-w64-mingw32-objdump"
    "win32 x86 pei-i386 i686-w64-mingw32-objdump"
)

for build in "${builds[@]}"; do
    read -r preset arch format objdump <<<"$build"
    echo "== $preset: building"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    for component in Runtime Development; do
        cmake --install "build/$preset" --prefix "$stage/$arch" --component "$component" --strip \
            >/dev/null
    done
    dll="$stage/$arch/bin/OstrelTCP.dll"
    for file in bin/OstrelTCP.dll lib/OstrelTCP.dll.a lib/ostreltcp.def include/ostreltcp.h \
        lib/cmake/OstrelTCP/OstrelTCPConfig.cmake; do
        [ -f "$stage/$arch/$file" ] || fail "$preset: $arch/$file is missing"
    done
    [[ "$("$objdump" -f "$dll")" == *"file format $format"* ]] ||
        fail "$preset: $dll is not $format"
    exports="$("$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        grep -c '^[[:space:]]\+\[')"
    [ "$exports" -eq 39 ] || fail "$preset: the stripped DLL exports $exports names, not 39"
    echo "   $arch/bin/OstrelTCP.dll: $(stat -c %s "$dll") bytes, $format, $exports exports"
done
cmake --install build/win64 --prefix "$work/docs" --component Docs >/dev/null
mv "$work/docs/share/doc/ostreltcp/"* "$stage/"
[ -f "$stage/LICENSE" ] || fail "the package has no LICENSE"

# Hosts built with MinGW against each tree, as a Windows developer would: the consumer through
# find_package, and the host guide's Windows example with plain compiler flags. Both link the
# import library with the header's calling convention. The consumer then runs under Wine where
# Wine is installed (32-bit Wine, wine32:i386, is optional; scripts/test-windows.sh installs it).
declare -A mingw=([x64]=x86_64-w64-mingw32 [x86]=i686-w64-mingw32)
declare -A toolchain=([x64]=mingw-x86_64.cmake [x86]=mingw-i686.cmake)

build_hosts() {
    local arch="$1"
    local consumer="$work/consumer-$arch"
    echo "== $arch: hosts built against the package"
    cmake -S tests/packaging/consumer -B "$consumer" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/${toolchain[$arch]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXE_LINKER_FLAGS=-static \
        -DOstrelTCP_DIR="$stage/$arch/lib/cmake/OstrelTCP" \
        -DOSTRELTCP_CONSUMER_VERSION="$version" >"$work/consumer-$arch.log" 2>&1 ||
        { cat "$work/consumer-$arch.log" >&2; fail "the $arch consumer does not configure"; }
    cmake --build "$consumer" >>"$work/consumer-$arch.log" 2>&1 ||
        { cat "$work/consumer-$arch.log" >&2; fail "the $arch consumer does not link"; }
    awk '/<!-- windows-example/ { marked = 1; next }
         marked && /^```c/ { inside = 1; next }
         inside && /^```/ { exit }
         inside' docs/host-guide.md >"$consumer/guide-example.c"
    "${mingw[$arch]}-gcc" -Wall -Wextra -Werror -I"$stage/$arch/include" \
        "$consumer/guide-example.c" -o "$consumer/guide-example.exe" \
        -L"$stage/$arch/lib" -l:OstrelTCP.dll.a ||
        fail "the host guide's Windows example does not build for $arch"
    cp "$stage/$arch/bin/OstrelTCP.dll" "$consumer/"
}

# run_consumer ARCH LOADER ENV...: runs the consumer's checks under Wine.
run_consumer() {
    local arch="$1" loader="$2"
    shift 2
    if [ ! -x "$loader" ]; then
        echo "SKIPPED: the $arch consumer under Wine ($loader is not installed)"
        return 0
    fi
    # A 32-bit loader may be installed on a kernel that cannot run 32-bit programs: then the
    # check is skipped, as scripts/test-windows.sh does, rather than failed.
    if ! env "$@" WINEDEBUG=-all timeout 300 "$loader" cmd.exe /c echo wine-started 2>&1 |
        grep -q wine-started; then
        echo "SKIPPED: the $arch consumer under Wine ($loader cannot start a program here)"
        return 0
    fi
    echo "== $arch: the consumer under Wine"
    (cd "$work/consumer-$arch" && env "$@" WINEDEBUG=-all timeout 300 "$loader" ./consumer.exe) ||
        fail "the $arch consumer's checks failed under Wine"
}

build_hosts x64
build_hosts x86
run_consumer x64 "$(command -v wine64 || echo /usr/lib/wine/wine64)" \
    -u WINEARCH WINEPREFIX="$root/build/wine64-prefix"
run_consumer x86 /usr/lib/wine/wine WINEARCH=win32 WINEPREFIX="$root/build/wine32-prefix"

rm -f "$output/$name.zip"
(cd "$work" && cmake -E tar cf "$output/$name.zip" --format=zip "$name")
echo "== $output/$name.zip: $(stat -c %s "$output/$name.zip") bytes"
(cd "$work" && find "$name" -type f | LC_ALL=C sort)
echo "PASSED"
