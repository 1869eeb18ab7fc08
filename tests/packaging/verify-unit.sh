#!/usr/bin/env bash
# Checks the serve unit with systemd-analyze verify: a copy whose ExecStart names the built
# program (verify checks that it exists), in a scratch directory. Fails on any complaint about
# the unit itself; the disabled-by-default promise is checked too (nothing but WantedBy in
# [Install], no enable in the maintainer scripts).
# Usage: verify-unit.sh UNIT_FILE BUILT_PROGRAM
set -euo pipefail
unit="$1"
program="$(realpath "$2")"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
name="$(basename "$unit")"
sed "s|^ExecStart=/[^ ]*|ExecStart=$program|" "$unit" >"$scratch/$name"
grep -q '^DynamicUser=yes' "$scratch/$name" || { echo "the unit runs as root" >&2; exit 1; }
grep -q '^StateDirectory=ostrel-acquire' "$scratch/$name" || { echo "no state directory" >&2; exit 1; }
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if grep -rqs 'systemctl' "$here/../../cmake/debian/"; then
    echo "a maintainer script calls systemctl: the unit must be installed disabled" >&2
    exit 1
fi
# verify also reports the host's own units' problems; only lines about this unit count.
output="$(systemd-analyze verify "$scratch/$name" 2>&1 || true)"
complaints="$(grep -F "$name" <<<"$output" || true)"
if [ -n "$complaints" ]; then
    echo "$complaints" >&2
    exit 1
fi
echo "systemd-analyze verify: $name has no complaints"
