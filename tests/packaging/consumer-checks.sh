# shellcheck shell=bash
# Checks of an installed driver as its users meet it, shared by run-consumer-test.sh (a temporary
# install tree) and test-deb.sh (the system's copy from the .deb). Sourced, not run; each check
# prints what it did and returns non-zero on failure.
#
# CC, CXX, CFLAGS, CXXFLAGS and LDFLAGS, when set, are the compilers and flags of the build that
# made the library (the sanitizer builds need the same instrumentation in the consumer).

packaging_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repository_root="$(cd "$packaging_dir/../.." && pwd)"

say() { echo "packaging: $*"; }
complain() { echo "packaging: FAILED: $*" >&2; }

# The driver's version, which every installed file must carry: the public header's (the
# project() call takes it from there).
project_version() {
    local header="$repository_root/include/ostreltcp.h" part number version=""
    for part in MAJOR MINOR PATCH; do
        number="$(sed -n "s/^#define OSTRELTCP_VERSION_$part \([0-9][0-9]*\)\$/\1/p" "$header")"
        version="${version:+$version.}$number"
    done
    echo "$version"
}

# expected_tree BUILD LIBDIR: what an install of BUILD holds below its prefix, one "path kind"
# a line (f file, l symbolic link), sorted. The tools and their manuals only where BUILD made
# them; the Python package's modules as the source tree has them, with the module the install
# writes.
expected_tree() {
    local build="$1" libdir="$2" version build_type pythondir module
    version="$(project_version)"
    build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
    build_type="${build_type,,}"
    pythondir="$(sed -n 's/^OSTRELTCP_INSTALL_PYTHONDIR:[A-Z]*=//p' "$build/CMakeCache.txt")"
    {
        echo "share/doc/ostreltcp/copyright f"
        echo "$pythondir/ostreltcp/_install_paths.py f"
        for module in "$repository_root"/python/ostreltcp/*.py \
            "$repository_root"/python/ostreltcp/py.typed; do
            echo "$pythondir/ostreltcp/$(basename "$module") f"
        done
        if [ -f "$build/spectra/libostrelspectra.so.$version" ]; then
            echo "$libdir/libostrelspectra.so.$version f"
            echo "$libdir/libostrelspectra.so.${version%%.*} l"
            echo "$libdir/libostrelspectra.so l"
            echo "include/ostrel_spectra.h f"
            local header
            for header in "$repository_root"/spectra/include/ostrel_spectra/*; do
                echo "include/ostrel_spectra/$(basename "$header") f"
            done
        fi
        local asset
        if [ -x "$build/tools/ostrel-acquire/ostrel-acquire" ] &&
            [ -d "$repository_root/tools/ostrel-acquire/live/page" ]; then
            for asset in "$repository_root"/tools/ostrel-acquire/live/page/*; do
                echo "share/ostreltcp/live-page/$(basename "$asset") f"
            done
            for asset in "$repository_root"/tools/ostrel-acquire/serve/page/*; do
                echo "share/ostreltcp/serve-page/$(basename "$asset") f"
            done
            echo "lib/systemd/system/ostrel-acquire-serve.service f"
        fi
        local tool
        for tool in ostrel-acquire ostrel-sim; do
            if [ -f "$build/man/$tool.1.gz" ]; then
                echo "share/man/man1/$tool.1.gz f"
            fi
        done
        echo "include/ostreltcp.h f"
        echo "$libdir/libostreltcp.so.$version f"
        echo "$libdir/libostreltcp.so.${version%%.*} l"
        echo "$libdir/libostreltcp.so l"
        echo "$libdir/cmake/OstrelTCP/OstrelTCPConfig.cmake f"
        echo "$libdir/cmake/OstrelTCP/OstrelTCPConfigVersion.cmake f"
        echo "$libdir/cmake/OstrelTCP/OstrelTCPTargets.cmake f"
        echo "$libdir/cmake/OstrelTCP/OstrelTCPTargets-$build_type.cmake f"
        echo "$libdir/pkgconfig/ostreltcp.pc f"
        echo "share/doc/ostreltcp/host-guide.md f"
        if [ -x "$build/sim/ostrel-sim" ]; then
            echo "bin/ostrel-sim f"
            echo "share/doc/ostreltcp/simulator.md f"
        fi
        if [ -x "$build/tools/ostrel-acquire/ostrel-acquire" ]; then
            echo "bin/ostrel-acquire f"
        fi
    } | LC_ALL=C sort
}

consumer_generator() {
    if command -v ninja >/dev/null 2>&1; then echo Ninja; else echo "Unix Makefiles"; fi
}

# check_cmake_consumer WORK [PREFIX]: find_package(OstrelTCP <version>) from PREFIX (or the
# system when empty), build and run the consumer; then ask for the next major version, which the
# package must refuse.
check_cmake_consumer() {
    local work="$1" prefix="${2:-}" version major
    version="$(project_version)"
    major="${version%%.*}"
    local common=(-G "$(consumer_generator)" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if [ -n "$prefix" ]; then
        common+=(-DCMAKE_PREFIX_PATH="$prefix")
    fi
    rm -rf "$work/cmake-consumer" "$work/cmake-wrong-version"
    say "CMake consumer: find_package(OstrelTCP $version)"
    if ! cmake -S "$packaging_dir/consumer" -B "$work/cmake-consumer" "${common[@]}" \
        -DOSTRELTCP_CONSUMER_VERSION="$version" >"$work/cmake-consumer.log" 2>&1 ||
        ! cmake --build "$work/cmake-consumer" >>"$work/cmake-consumer.log" 2>&1; then
        cat "$work/cmake-consumer.log" >&2
        complain "the CMake consumer does not configure or build"
        return 1
    fi
    grep -m1 -- '-- OstrelTCP ' "$work/cmake-consumer.log" || true
    if ! "$work/cmake-consumer/consumer"; then
        complain "the CMake consumer's checks failed"
        return 1
    fi
    say "CMake consumer: find_package(OstrelTCP $((major + 1)).0) must fail"
    if cmake -S "$packaging_dir/consumer" -B "$work/cmake-wrong-version" "${common[@]}" \
        -DOSTRELTCP_CONSUMER_VERSION="$((major + 1)).0" >"$work/cmake-wrong-version.log" 2>&1; then
        complain "find_package accepted version $((major + 1)).0 of a $version package"
        return 1
    fi
    if ! grep -q 'compatible with requested version' "$work/cmake-wrong-version.log"; then
        cat "$work/cmake-wrong-version.log" >&2
        complain "find_package failed for another reason than the version"
        return 1
    fi
}

# check_pkgconfig_consumer WORK [PCDIR]: the .pc file's version, then a plain compiler run with
# `pkg-config --cflags --libs ostreltcp`. With PCDIR (an install tree) the program runs with that
# tree's libdir in LD_LIBRARY_PATH; without it (the system's copy) it must run as it is.
check_pkgconfig_consumer() {
    local work="$1" pcdir="${2:-}" version modversion
    version="$(project_version)"
    if [ -n "$pcdir" ]; then
        export PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
    fi
    if ! modversion="$(pkg-config --modversion ostreltcp)"; then
        complain "pkg-config does not find ostreltcp"
        return 1
    fi
    say "pkg-config --modversion ostreltcp: $modversion"
    if [ "$modversion" != "$version" ]; then
        complain "pkg-config reports $modversion, the project is $version"
        return 1
    fi
    local flags libdir
    flags="$(pkg-config --cflags --libs ostreltcp)"
    libdir="$(pkg-config --variable=libdir ostreltcp)"
    say "pkg-config --cflags --libs ostreltcp: $flags"
    mkdir -p "$work"
    # shellcheck disable=SC2086 # the flags are words
    if ! ${CC:-cc} -std=c99 -Wall -Wextra -Wpedantic -Werror ${CFLAGS:-} -c \
        "$packaging_dir/consumer/consumer.c" -o "$work/consumer-pc.o" $flags ||
        ! ${CXX:-c++} -std=c++20 -Wall -Wextra -Werror ${CXXFLAGS:-} -c \
            "$packaging_dir/consumer/linkage_check.cpp" -o "$work/linkage-pc.o" $flags ||
        ! ${CXX:-c++} ${LDFLAGS:-} "$work/consumer-pc.o" "$work/linkage-pc.o" \
            -o "$work/consumer-pc" $flags; then
        complain "the consumer does not build with pkg-config's flags"
        return 1
    fi
    if [ -n "$pcdir" ]; then
        LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/consumer-pc"
    else
        "$work/consumer-pc"
    fi || {
        complain "the pkg-config consumer's checks failed"
        return 1
    }
}

# check_installed_tool WORK BINDIR LIBDIR: ostrel-acquire from BINDIR acquires one file from its
# built-in simulator, and the driver it loads on its own (no OSTRELTCP_LIBRARY, no --library) is
# the one in LIBDIR.
check_installed_tool() {
    local work="$1" bindir="$2" libdir="$3"
    local tool="$bindir/ostrel-acquire"
    if [ ! -x "$tool" ]; then
        complain "$tool is not installed"
        return 1
    fi
    rm -rf "$work/acquire"
    mkdir -p "$work/acquire"
    say "$tool: one file from the built-in simulator"
    # From a neutral directory, so that nothing of the build tree lies next to the program.
    if ! (cd "$work/acquire" && env -u OSTRELTCP_LIBRARY LD_DEBUG=libs \
        LD_DEBUG_OUTPUT="$work/acquire/loader" "$tool" --points 1024 --files 1 --no-plot \
        --quiet --sim-scan-ms 20 --out "$work/acquire/run"); then
        complain "ostrel-acquire did not complete its run"
        return 1
    fi
    local loaded
    local pattern='s/^[[:space:]]*[0-9]*:[[:space:]]*calling init: \(.*libostreltcp[^ ]*\)$/\1/p'
    loaded="$(sed -n "$pattern" "$work"/acquire/loader.* 2>/dev/null || true)"
    loaded="${loaded%%$'\n'*}"
    if [ -z "$loaded" ]; then
        complain "the loader did not report ostrel-acquire loading libostreltcp"
        return 1
    fi
    local resolved expected
    resolved="$(readlink -f "$loaded")"
    expected="$(readlink -f "$libdir/libostreltcp.so")"
    say "ostrel-acquire loaded $loaded ($resolved)"
    if [ "$resolved" != "$expected" ]; then
        complain "ostrel-acquire loaded $resolved instead of $expected"
        return 1
    fi
    if [ ! -s "$work/acquire/run/interferogram-0001.csv" ]; then
        complain "ostrel-acquire wrote no interferogram"
        return 1
    fi
}

# start_simulator PROGRAM LOG [OPTION ...]: starts ostrel-sim on free loopback ports and waits
# for its ready line; sets simulator_pid and simulator_ports (command, data, reboot).
simulator_pid=""
simulator_ports=()
start_simulator() {
    local program="$1" log="$2"
    shift 2
    "$program" --address 127.0.0.1 "$@" >"$log" 2>&1 &
    simulator_pid=$!
    local line="" _
    for _ in $(seq 100); do
        line="$(grep -m1 ' ready on ' "$log" || true)"
        if [ -n "$line" ] || ! kill -0 "$simulator_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ -z "$line" ]; then
        cat "$log" >&2
        stop_simulator
        complain "$program did not start"
        return 1
    fi
    read -r -a simulator_ports < <(sed -n \
        's/.* ready on [^:]*: command \([0-9]*\) data \([0-9]*\) reboot \([0-9]*\).*/\1 \2 \3/p' \
        <<<"$line")
}
stop_simulator() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
        simulator_pid=""
    fi
}

# check_guide_example WORK BINDIR [PCDIR]: the Linux host program of docs/host-guide.md, built
# with pkg-config's flags as the guide says, acquires its three files from BINDIR/ostrel-sim on
# free loopback ports. PCDIR as for check_pkgconfig_consumer.
check_guide_example() {
    local work="$1" bindir="$2" pcdir="${3:-}"
    local guide="$repository_root/docs/host-guide.md"
    mkdir -p "$work"
    awk '/<!-- host-example/ { marked = 1; next }
         marked && /^```c/ { inside = 1; next }
         inside && /^```/ { exit }
         inside' "$guide" >"$work/host.c"
    if [ ! -s "$work/host.c" ]; then
        complain "no host example (a \`\`\`c block after <!-- host-example -->) in $guide"
        return 1
    fi
    if [ -n "$pcdir" ]; then
        export PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
    fi
    local flags libdir
    flags="$(pkg-config --cflags --libs ostreltcp)"
    libdir="$(pkg-config --variable=libdir ostreltcp)"
    say "the host guide's example: cc host.c $flags -lm"
    # shellcheck disable=SC2086 # the flags are words
    if ! ${CC:-cc} -Wall -Wextra -Werror ${CFLAGS:-} "$work/host.c" -o "$work/host" $flags -lm \
        ${LDFLAGS:-}; then
        complain "the host guide's example does not build"
        return 1
    fi
    # 400 ms a file (8 scans of 4096 points at 200 ms per 16384): time enough for the host to read
    # each file before the next replaces it, even on a loaded machine.
    start_simulator "$bindir/ostrel-sim" "$work/sim.log" --scan-ms 200 || return 1
    local status=0 library_path="${LD_LIBRARY_PATH:-}"
    if [ -n "$pcdir" ]; then
        library_path="$libdir${library_path:+:$library_path}"
    fi
    OSTRELTCP_COMMAND_PORT="${simulator_ports[0]}" OSTRELTCP_DATA_PORT="${simulator_ports[1]}" \
        OSTRELTCP_REBOOT_PORT="${simulator_ports[2]}" \
        LD_LIBRARY_PATH="$library_path" \
        timeout 120 "$work/host" 127.0.0.1 >"$work/host.out" 2>&1 || status=$?
    stop_simulator
    cat "$work/host.out"
    if [ "$status" -ne 0 ]; then
        complain "the host guide's example ended with $status"
        return 1
    fi
    if [ "$(grep -c '^file [1-3]: 8192 values at' "$work/host.out")" -ne 3 ]; then
        complain "the host guide's example did not report three files of 8192 values"
        return 1
    fi
}

# check_python_example WORK BINDIR LIBDIR PYTHONDIR [PYTHONPATH]: the README's Python example, as
# it stands apart from the simulator's ports, runs with the system's python3 against BINDIR's
# ostrel-sim and prints its three files; and the package it imports is the one in PYTHONDIR,
# which loads the driver in LIBDIR by itself (no OSTRELTCP_LIBRARY). PYTHONPATH is empty for the
# system's copy, which python3 must find on its own.
check_python_example() {
    local work="$1" bindir="$2" libdir="$3" pythondir="$4" pythonpath="${5:-}"
    local python="${OSTRELTCP_PYTHON:-/usr/bin/python3}"
    mkdir -p "$work"
    awk '/<!-- python-example/ { marked = 1; next }
         marked && /^```python/ { inside = 1; next }
         inside && /^```/ { exit }
         inside' "$repository_root/README.md" >"$work/example.py"
    if ! grep -q 'command_port=5023' "$work/example.py"; then
        complain "no Python example with command_port=5023 (a \`\`\`python block after <!-- python-example -->) in README.md"
        return 1
    fi
    start_simulator "$bindir/ostrel-sim" "$work/sim.log" --burst 1024 || return 1
    sed -i -e "s/command_port=5023/command_port=${simulator_ports[0]}/" \
        -e "s/data_port=5443/data_port=${simulator_ports[1]}/" \
        -e "s/reboot_port=5123/reboot_port=${simulator_ports[2]}/" "$work/example.py"
    say "the README's Python example with $python${pythonpath:+ (PYTHONPATH=$pythonpath)}"
    local status=0
    # From a neutral directory, without the build tree's variables, so that only installed files
    # can be found.
    (cd "$work" && env -u OSTRELTCP_LIBRARY -u OSTREL_SIM -u LD_LIBRARY_PATH -u PYTHONPATH \
        ${pythonpath:+PYTHONPATH="$pythonpath"} PYTHONDONTWRITEBYTECODE=1 \
        timeout 120 "$python" example.py) >"$work/example.out" 2>&1 || status=$?
    stop_simulator
    cat "$work/example.out"
    if [ "$status" -ne 0 ]; then
        complain "the README's Python example ended with $status"
        return 1
    fi
    if [ "$(grep -cE '^[0-9]+ ms: [0-9]+ values, largest [0-9]+$' "$work/example.out")" -ne 3 ]; then
        complain "the README's Python example did not print three files"
        return 1
    fi
    local found
    found="$(cd "$work" && env -u OSTRELTCP_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
        ${pythonpath:+PYTHONPATH="$pythonpath"} PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import os, ostreltcp
from ostreltcp._library import load_library
print(os.path.dirname(os.path.realpath(ostreltcp.__file__)))
print(os.path.realpath(load_library().path))')" || {
        complain "python3 cannot import the installed ostreltcp"
        return 1
    }
    local package library
    package="$(sed -n 1p <<<"$found")"
    library="$(sed -n 2p <<<"$found")"
    say "ostreltcp from $package loads $library"
    if [ "$package" != "$(readlink -f "$pythondir/ostreltcp")" ]; then
        complain "python3 imported ostreltcp from $package, not from $pythondir"
        return 1
    fi
    if [ "$library" != "$(readlink -f "$libdir/libostreltcp.so")" ]; then
        complain "the installed ostreltcp loaded $library, not the library in $libdir"
        return 1
    fi
    if [ -f "$repository_root/python/ostreltcp/spectra.py" ]; then
        library="$(cd "$work" && env -u OSTRELTCP_SPECTRA_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
            ${pythonpath:+PYTHONPATH="$pythonpath"} PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import os
from ostreltcp.spectra import find_spectra_library
print(os.path.realpath(find_spectra_library()))')" || {
            complain "the installed ostreltcp.spectra does not find the spectral library"
            return 1
        }
        say "ostreltcp.spectra finds $library"
        if [ "$library" != "$(readlink -f "$libdir/libostrelspectra.so")" ]; then
            complain "the installed ostreltcp.spectra found $library, not the library in $libdir"
            return 1
        fi
    fi
}

# check_live_view WORK BINDIR: BINDIR's ostrel-acquire serves its live view during a run from
# the built-in simulator: the page and every script and style sheet it names (its own assets and
# the charting library) come back from the tool, so the installed files are complete.
check_live_view() {
    local work="$1" bindir="$2" python="${OSTRELTCP_PYTHON:-/usr/bin/python3}"
    mkdir -p "$work"
    local port
    port="$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    say "$bindir/ostrel-acquire --live 127.0.0.1:$port"
    (cd "$work" && exec env -u OSTRELTCP_LIBRARY "$bindir/ostrel-acquire" --live "127.0.0.1:$port" \
        --points 1024 --files 1000 --sim-scan-ms 100 --no-plot --quiet --out "$work/run") \
        >"$work/tool.log" 2>&1 &
    # Many files, so that the run is still going while the page is fetched; it is interrupted.
    local tool=$! status=0
    "$python" - "$port" <<'PYTHON' >"$work/fetch.log" 2>&1 || status=$?
import re, sys, time, urllib.request
from urllib.parse import urljoin
base = f"http://127.0.0.1:{sys.argv[1]}/"
deadline = time.monotonic() + 30
while True:
    try:
        page = urllib.request.urlopen(base, timeout=5).read().decode()
        break
    except OSError as error:
        if time.monotonic() > deadline:
            sys.exit(f"the live view did not answer at {base}: {error}")
        time.sleep(0.2)
assets = re.findall(r'<(?:script[^>]*\bsrc|link[^>]*\bhref)="([^"]+)"', page)
# Only what the tool serves itself: not other sites, nor data: and similar inline addresses.
local = [asset for asset in assets if not re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", asset)]
if not local:
    sys.exit("the live page names no script or style sheet of its own")
for asset in local:
    body = urllib.request.urlopen(urljoin(base, asset), timeout=5).read()
    if not body:
        sys.exit(f"{asset} is empty")
    print(f"{asset}: {len(body)} bytes")
PYTHON
    kill -INT "$tool" 2>/dev/null || true
    local tool_status=0
    wait "$tool" || tool_status=$?
    cat "$work/fetch.log"
    if [ "$status" -ne 0 ]; then
        cat "$work/tool.log" >&2
        complain "the live view of the installed ostrel-acquire is incomplete"
        return 1
    fi
    if [ "$tool_status" -ne 0 ] && [ "$tool_status" -ne 130 ]; then
        cat "$work/tool.log" >&2
        complain "ostrel-acquire --live ended with $tool_status"
        return 1
    fi
}
