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
# a line (f file, l symbolic link), sorted. The tools and their manual only where BUILD made them.
expected_tree() {
    local build="$1" libdir="$2" version build_type
    version="$(project_version)"
    build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
    build_type="${build_type,,}"
    {
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
            for page in index.html live.css live.js; do
                echo "share/ostreltcp/live-page/$page f"
            done
        fi
        if [ -f "$build/spectra/libostrelspectra.so.$version" ]; then
            echo "include/ostrel_spectra.h f"
            echo "include/ostrel_spectra/spectra.h f"
            echo "$libdir/libostrelspectra.so.$version f"
            echo "$libdir/libostrelspectra.so.${version%%.*} l"
            echo "$libdir/libostrelspectra.so l"
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
    local log="$work/sim.log" simulator=""
    "$bindir/ostrel-sim" --address 127.0.0.1 --scan-ms 200 >"$log" 2>&1 &
    simulator=$!
    local line="" _
    for _ in $(seq 100); do
        line="$(grep -m1 ' ready on ' "$log" || true)"
        if [ -n "$line" ] || ! kill -0 "$simulator" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ -z "$line" ]; then
        cat "$log" >&2
        kill "$simulator" 2>/dev/null || true
        complain "ostrel-sim did not start"
        return 1
    fi
    local ports status=0 library_path="${LD_LIBRARY_PATH:-}"
    if [ -n "$pcdir" ]; then
        library_path="$libdir${library_path:+:$library_path}"
    fi
    read -r -a ports < <(sed -n \
        's/.* ready on [^:]*: command \([0-9]*\) data \([0-9]*\) reboot \([0-9]*\).*/\1 \2 \3/p' \
        <<<"$line")
    OSTRELTCP_COMMAND_PORT="${ports[0]}" OSTRELTCP_DATA_PORT="${ports[1]}" \
        OSTRELTCP_REBOOT_PORT="${ports[2]}" \
        LD_LIBRARY_PATH="$library_path" \
        timeout 120 "$work/host" 127.0.0.1 >"$work/host.out" 2>&1 || status=$?
    kill "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
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
