#!/usr/bin/env bash
# Measures what a new user waits for on a fresh Debian 12 machine: the time from `git clone` to
# the first file saved by scripts/run.sh, with every package download and the whole build in it.
# The machine is a minimal Debian 12 made with debootstrap (plus git and ca-certificates, which
# cloning needs) in a folder, entered with chroot; the clone comes from this repository's
# committed HEAD. Needs root, debootstrap and Debian's package mirror.
# Usage: scripts/time-first-file.sh [WORK_DIR]   (default: build/fresh-machine)
#   OSTRELTCP_FRESH_BASE=FILE  a tar of such a system made by an earlier run (skips debootstrap)
# Prints the elapsed time of each line of run.sh's output and, last, the time to the first
# saved file and the packages the run installed. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repository="$(pwd)"
work="$(mkdir -p "${1:-build/fresh-machine}" && cd "${1:-build/fresh-machine}" && pwd)"
root="$work/rootfs"
base="${OSTRELTCP_FRESH_BASE:-$work/base.tar}"

if [ "$(id -u)" -ne 0 ]; then
    echo "time-first-file: needs root (debootstrap, chroot)" >&2
    exit 1
fi

mounted=()
unmount_all() {
    local index
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        umount "${mounted[$index]}" 2>/dev/null || true
    done
    mounted=()
}
trap unmount_all EXIT
mount_system() {
    mount --bind /dev "$root/dev" && mounted+=("$root/dev")
    mount -t proc proc "$root/proc" && mounted+=("$root/proc")
    cp /etc/resolv.conf "$root/etc/resolv.conf"
}

if [ ! -f "$base" ]; then
    command -v debootstrap >/dev/null ||
        { echo "time-first-file: needs debootstrap (apt-get install debootstrap)" >&2; exit 1; }
    rm -rf "$root"
    echo "== debootstrap bookworm (minbase)"
    debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$work/debootstrap.log"
    mount_system
    chroot "$root" /bin/sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends git ca-certificates' >"$work/base-packages.log"
    unmount_all
    tar -C "$root" -cf "$base" .
fi
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$base"
mount_system
chroot "$root" dpkg-query -W -f='${Package}\n' | sort >"$work/packages-before"

# The clone's source: a bare copy of the committed HEAD inside the fresh system.
git clone -q --bare --no-local "$repository" "$root/srv/ostreltcp.git"
git -C "$root/srv/ostreltcp.git" symbolic-ref HEAD "refs/heads/$(git rev-parse --abbrev-ref HEAD)"

echo "== in the fresh system: git clone, then scripts/run.sh"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    /bin/bash -c '
    set -o pipefail
    start=$EPOCHREALTIME
    stamp() {
        while IFS= read -r line; do
            awk -v now="$EPOCHREALTIME" -v start="$start" -v line="$line" \
                "BEGIN { printf \"%7.1f s  %s\n\", now - start, line }"
        done
    }
    { git clone -q /srv/ostreltcp.git /root/ostreltcp && echo "cloned" &&
      cd /root/ostreltcp && scripts/run.sh; } 2>&1 | stamp
    # The processor time of it all (user, then system), which a busy machine does not inflate.
    times >/tmp/times.txt
    echo "cpu time of the run (user, system): $(tail -1 /tmp/times.txt)"' | tee "$work/run.log"
chroot "$root" dpkg-query -W -f='${Package}\n' | sort >"$work/packages-after"
comm -13 "$work/packages-before" "$work/packages-after" >"$work/packages-installed"

first="$(grep -m1 ' saved ' "$work/run.log" || true)"
if [ -z "$first" ]; then
    echo "time-first-file: FAILED: run.sh saved no file" >&2
    exit 1
fi
echo "== first file after ${first%% s *} s: ${first#* s  }"
# The package step's share, from apt's own log of the run's install.
history="$root/var/log/apt/history.log"
apt_start="$(grep '^Start-Date:' "$history" | tail -1 | cut -d' ' -f2-)"
apt_end="$(grep '^End-Date:' "$history" | tail -1 | cut -d' ' -f2-)"
echo "== of which apt-get install: $(($(date -d "$apt_end" +%s) - $(date -d "$apt_start" +%s))) s" \
    "($(du -sh "$root/var/cache/apt/archives" | cut -f1) downloaded); load average now:" \
    "$(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "== $(wc -l <"$work/packages-installed") packages installed by the run (list in $work/packages-installed)"
for unwanted in wine wine64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libgtest-dev \
    libgmock-dev libbenchmark-dev clang nodejs chromium libfaketime python3-pytest; do
    if grep -qx "$unwanted" "$work/packages-installed"; then
        echo "time-first-file: FAILED: the main job installed $unwanted" >&2
        exit 1
    fi
done
echo "PASSED: no Windows or test packages installed"
