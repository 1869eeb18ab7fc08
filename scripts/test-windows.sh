#!/usr/bin/env bash
# Builds OstrelTCP.dll for x86_64 and i686 with MinGW-w64, checks its export and import tables,
# and runs the Windows test hosts under Wine against the Linux simulator on loopback.
# Usage: scripts/test-windows.sh [win64|win32 ...]   (default: both)
#        scripts/test-windows.sh --install-only   (what the runs need, installed, and nothing run)
# Installs the "windows" tier of scripts/setup.sh first. Exits non-zero on any failure. The i686
# run needs wine32:i386, which this script installs when it runs as root; where 32-bit Wine cannot
# start, that run is reported as SKIPPED.
set -euo pipefail
cd "$(dirname "$0")/.."
install_only=0
if [ "${1:-}" = "--install-only" ]; then
    install_only=1
    shift
fi
scripts/setup.sh windows
root="$(pwd)"

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(win64 win32)
fi

failures=0
summary=()
sim_pid=""
work="$(mktemp -d)"

cleanup() {
    stop_simulator
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
    summary+=("FAILED: $*")
}

# --- the Linux simulator -------------------------------------------------------------------

sim="$root/build/default/sim/ostrel-sim"

build_simulator() {
    echo "== building the simulator (default preset)"
    cmake --preset default >/dev/null
    cmake --build --preset default --target ostrel-sim
}

# Starts the simulator on free loopback ports and exports them for the driver.
start_simulator() {
    local log="$work/sim.out"
    # 20 ms a scan at the hosts' 1024 points and 30 ms before "ready": each progress line and
    # the final "ready" come as replies of their own, as from a real instrument, even when
    # Wine's threads are slow to be scheduled.
    "$sim" --address 127.0.0.1 --scan-ms 320 --ready-delay-ms 30 >"$log" 2>&1 &
    sim_pid=$!
    local line=""
    for _ in $(seq 100); do
        line="$(grep -m1 ' ready on ' "$log" || true)"
        [ -n "$line" ] && break
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ -z "$line" ]; then
        cat "$log" >&2
        sim_pid=""
        return 1
    fi
    # "ostrel-sim ready on 127.0.0.1: command C data D reboot R"
    read -r command_port data_port reboot_port < <(
        sed -n 's/.* ready on [^:]*: command \([0-9]*\) data \([0-9]*\) reboot \([0-9]*\).*/\1 \2 \3/p' \
            <<<"$line")
    export OSTRELTCP_COMMAND_PORT="$command_port" OSTRELTCP_DATA_PORT="$data_port"
    export OSTRELTCP_REBOOT_PORT="$reboot_port"
    echo "   simulator: command $command_port, data $data_port, reboot $reboot_port"
}

stop_simulator() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}

# --- the binary checks ---------------------------------------------------------------------

objdump_for() {
    case "$1" in
        win64) echo x86_64-w64-mingw32-objdump ;;
        win32) echo i686-w64-mingw32-objdump ;;
    esac
}

# System DLLs only: the compiler's runtime (libstdc++, libgcc, winpthread) must be linked in.
check_imports() {
    local objdump="$1" file="$2"
    local imports
    imports="$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')"
    echo "   imports of $(basename "$file"): $(echo $imports)"
    local name
    for name in $imports; do
        case "${name,,}" in
            kernel32.dll | ws2_32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
            *) fail "$file imports $name, which is not a system DLL" ;;
        esac
    done
}

# The 39 exports of ostreltcp.def at their ordinals, plain names, nothing else.
check_exports() {
    local objdump="$1" dll="$2"
    local expected="$work/expected-exports" actual="$work/actual-exports"
    sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*@\([0-9]*\).*/\2 \1/p' \
        src/api/ostreltcp.def | sort -n >"$expected"
    # "[Ordinal/Name Pointer] Table" rows are "[ index] name" with ordinal = index + base.
    local dump base
    dump="$("$objdump" -p "$dll")"
    base="$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump")"
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p' |
        awk -v base="${base:-1}" '{ print $1 + base, $2 }' | sort -n >"$actual"
    local count
    count="$(wc -l <"$actual")"
    echo "   exports of $(basename "$dll"): $count names, ordinal base ${base:-?}"
    if [ "$(wc -l <"$expected")" -ne 39 ]; then
        fail "src/api/ostreltcp.def does not list 39 exports"
    fi
    if ! diff -u "$expected" "$actual" >"$work/export-diff"; then
        cat "$work/export-diff" >&2
        fail "$dll: the export table differs from src/api/ostreltcp.def"
    fi
    if [ "$(awk '{ print $1 }' "$actual" | tr '\n' ' ')" != "$(seq -s ' ' 1 39) " ]; then
        fail "$dll: the ordinals are not exactly 1 to 39"
    fi
    if grep -q '@' "$actual"; then
        fail "$dll: decorated export names"
    fi
}

# On i686 every export must be a stdcall function (callee cleans the stack): the compiler then
# names it _name@<argument bytes>, which the link strips from the exported name.
check_stdcall() {
    local dll="$1"
    local symbols name missing=0
    symbols="$(i686-w64-mingw32-nm "$dll")"
    for name in $(awk '{ print $2 }' "$work/expected-exports"); do
        if ! grep -Eq " T _${name}@[0-9]+$" <<<"$symbols"; then
            echo "   $name is not a stdcall function" >&2
            missing=$((missing + 1))
        fi
    done
    if [ "$missing" -ne 0 ]; then
        fail "$dll: $missing export(s) without the stdcall convention"
    else
        echo "   all 39 exports are stdcall (for example $(grep -Eo '_spectrometer_getData@[0-9]+' <<<"$symbols" | head -1))"
    fi
}

# --- Wine ----------------------------------------------------------------------------------

wine64_loader() {
    command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || true
}

wine32_loader() {
    [ -x /usr/lib/wine/wine ] && echo /usr/lib/wine/wine || true
}

install_wine32() {
    if [ -n "$(wine32_loader)" ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "   wine32:i386 is missing and installing it needs root" >&2
        return 1
    fi
    echo "== installing wine32:i386 (once)"
    dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine32:i386
}

if [ "$install_only" -eq 1 ]; then
    install_wine32 || echo "   the win32 run will be SKIPPED"
    exit 0
fi

# True when Wine starts a program in this prefix; the first start creates the prefix.
wine_starts() {
    local output
    output="$(timeout 300 "$@" cmd.exe /c echo wine-started 2>&1 || true)"
    grep -q wine-started <<<"$output"
}

run_under_wine() {
    local preset="$1"
    shift
    local directory="$root/build/$preset/tests/windows"
    local trace="$root/build/$preset/wine-trace.log"
    echo "== $preset: platform layer under Wine"
    if ! (cd "$directory" && timeout 300 "$@" ./ostrel-windows-platform-test.exe); then
        fail "$preset: ostrel-windows-platform-test"
    fi
    echo "== $preset: test host against the simulator under Wine"
    if ! start_simulator; then
        fail "$preset: the simulator did not start"
        return
    fi
    rm -f "$trace"
    local started
    started=$(date +%s)
    if ! (cd "$directory" && OSTRELTCP_TRACE="$trace" timeout 300 "$@" ./ostrel-windows-host.exe); then
        echo "-- last trace records ($trace):" >&2
        tail -n 40 "$trace" >&2 || true
        fail "$preset: ostrel-windows-host"
    else
        summary+=("PASSED: $preset under Wine ($(($(date +%s) - started)) s)")
    fi
    stop_simulator
}

# --- main ----------------------------------------------------------------------------------

if ! build_simulator || [ ! -x "$sim" ]; then
    echo "FAILED: the simulator $sim could not be built" >&2
    exit 1
fi

export WINEDEBUG=-all
for preset in "${presets[@]}"; do
    case "$preset" in
        win64 | win32) ;;
        *) echo "unknown preset $preset (win64 or win32)" >&2; exit 2 ;;
    esac
    echo "== $preset: building"
    if ! cmake --preset "$preset" >/dev/null; then
        fail "$preset: configure"
        continue
    fi
    if ! cmake --build --preset "$preset"; then
        fail "$preset: build"
        continue
    fi
    objdump="$(objdump_for "$preset")"
    dll="build/$preset/src/OstrelTCP.dll"
    echo "   $dll: $(stat -c %s "$dll") bytes"
    check_exports "$objdump" "$dll"
    check_imports "$objdump" "$dll"
    check_imports "$objdump" "build/$preset/tests/windows/ostrel-windows-host.exe"
    check_imports "$objdump" "build/$preset/tests/windows/ostrel-windows-platform-test.exe"
    if [ "$preset" = win32 ]; then
        check_stdcall "$dll"
    fi

    if [ "$preset" = win64 ]; then
        loader="$(wine64_loader)"
        export WINEPREFIX="$root/build/wine64-prefix"
        unset WINEARCH
        if [ -z "$loader" ] || ! wine_starts "$loader"; then
            fail "win64: wine64 cannot start (install the wine64 package)"
            continue
        fi
        run_under_wine win64 "$loader"
    else
        export WINEPREFIX="$root/build/wine32-prefix" WINEARCH=win32
        if ! install_wine32; then
            echo "SKIPPED: win32 under Wine: wine32:i386 is not installed and could not be installed"
            summary+=("SKIPPED: win32 under Wine (no wine32:i386)")
            continue
        fi
        loader="$(wine32_loader)"
        if [ -z "$loader" ] || ! wine_starts "$loader"; then
            echo "SKIPPED: win32 under Wine: 32-bit Wine cannot start in $WINEPREFIX"
            summary+=("SKIPPED: win32 under Wine (32-bit Wine cannot start)")
            continue
        fi
        run_under_wine win32 "$loader"
    fi
done

echo "== summary"
for line in "${summary[@]}"; do
    echo "$line"
done
if [ "$failures" -ne 0 ]; then
    echo "FAILED: $failures failure(s)"
    exit 1
fi
echo "PASSED"
