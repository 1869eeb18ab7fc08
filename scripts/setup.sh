#!/usr/bin/env bash
# Installs the Debian packages one tier of the project needs. Idempotent; prints nothing when
# everything is present. Run as root on Debian 12.
# Usage: scripts/setup.sh [TIER ...]   (default: all tiers)
#   main     build and run the driver, the simulator, the spectral library and ostrel-acquire
#            (scripts/run.sh): compiler, CMake, Ninja and the tool's libraries
#   tests    main, plus the test suite, the benchmarks, the Python package's tests and the
#            packaging tests (scripts/test.sh)
#   windows  main, plus the MinGW-w64 cross compilers and Wine for the Windows DLLs
#   facility main, plus the Tango device server's build (cppTango) and its tests: the Tango
#            database server on a private MariaDB, tango_admin and PyTango
#   all      every tier (OSTRELTCP_SETUP_WINDOWS=0 leaves out the windows tier)
set -euo pipefail

# The main job's tier: what building and running ostrel-acquire and ostrel-sim needs, and no
# more, so that a lab machine's first run installs only this.
main_packages=(
  build-essential g++ cmake ninja-build pkgconf
  libcli11-dev libfftw3-dev libhdf5-dev libcpp-httplib-dev nlohmann-json3-dev libjs-dygraphs
  libzip-dev libssl-dev
  gnuplot-nox
)
# What the test suite, the benchmarks, the Python package's tests and the packaging tests add.
test_packages=(
  clang libclang-rt-14-dev clang-format-14
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-numpy python3-pytest python3-h5py python3-matplotlib
  chromium libfaketime faketime
  binutils procps netcat-openbsd dpkg-dev file help2man man-db
)
# Node runs test tools (the independent JCAMP-DX reader): a node or npm already on the PATH
# (from any source) is used as it is; Debian's are installed only where one is missing.
command -v node >/dev/null || test_packages+=(nodejs)
command -v npm >/dev/null || test_packages+=(npm)
# The Windows cross-builds and their tests under Wine.
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)
# The Tango device server (libtango-dev) and what its tests start: DataBaseds (tango-db) on a
# MariaDB of their own, tango_admin (libtango-tools, a dependency of tango-db) and a PyTango client.
facility_packages=(libtango-dev tango-db mariadb-server mariadb-client python3-tango python3-pytest)

tiers=("$@")
if [ ${#tiers[@]} -eq 0 ]; then
  tiers=(all)
fi
packages=("${main_packages[@]}")
with_tests=0
for tier in "${tiers[@]}"; do
  case "$tier" in
    main) ;;
    tests)
      packages+=("${test_packages[@]}")
      with_tests=1
      ;;
    windows) packages+=("${windows_packages[@]}") ;;
    facility) packages+=("${facility_packages[@]}") ;;
    all)
      packages+=("${test_packages[@]}" "${facility_packages[@]}")
      with_tests=1
      if [ "${OSTRELTCP_SETUP_WINDOWS:-1}" != "0" ]; then
        packages+=("${windows_packages[@]}")
      fi
      ;;
    *)
      echo "setup: unknown tier '$tier' (main, tests, windows, facility or all)" >&2
      exit 2
      ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# The tests' Node modules (npm, from the committed lock files), for the tests tier only.
install_node_modules() {
  if [ "$with_tests" -eq 1 ]; then
    "$(dirname "$0")/../tests/tools/jcamp/install.sh"
    "$(dirname "$0")/../tests/tools/serve/openapi/install.sh"
  fi
}
if [ ${#missing[@]} -eq 0 ]; then
  install_node_modules
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tango-db's configuration step would otherwise want a running MariaDB to put its schema in; the
# tests make a database of their own.
if printf '%s\n' "${missing[@]}" | grep -qx tango-db; then
  echo "tango-db tango-db/dbconfig-install boolean false" | debconf-set-selections
fi
log=$(mktemp)
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "setup: installing packages failed" >&2
  exit 1
fi
rm -f "$log"
install_node_modules
