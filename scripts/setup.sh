#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the tools and the benchmarks need.
# Idempotent; prints nothing when everything is present. Run as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang libclang-rt-14-dev clang-format-14
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev libfftw3-dev gnuplot-nox
  python3 python3-numpy python3-pytest
  binutils procps netcat-openbsd pkgconf dpkg-dev file
  libfaketime
  libhdf5-dev python3-h5py python3-matplotlib
  # ostrel-acquire's JSON and its live view (server, charts), and the browser that tests the page.
  nlohmann-json3-dev libcpp-httplib-dev libjs-dygraphs chromium
)
# Node and npm run the independent JCAMP-DX reader and the browser test (packages from the npm
# registry); a machine that has them from elsewhere keeps its own.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi
# Windows cross-builds and their tests under Wine (OSTRELTCP_SETUP_WINDOWS=0 skips them).
if [ "${OSTRELTCP_SETUP_WINDOWS:-1}" != "0" ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
install_node_modules() {
  "$(dirname "$0")/../tests/tools/jcamp/install.sh"
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
log=$(mktemp)
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "setup: installing packages failed" >&2
  exit 1
fi
rm -f "$log"
install_node_modules
