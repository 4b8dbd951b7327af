#!/usr/bin/env bash
# The README's first command on a bare machine: makes a minimal Debian 12 root (mmdebstrap,
# variant minbase, plus `make` itself), puts a clean clone of this repository's HEAD in it, and
# runs `make run` there as root. Checks that the server answers op=777 with "ZTNS..." on
# 127.0.0.1:80, then stops it and removes the root. Prints how long each step took.
#
#   bench/fresh_machine.sh [MIRROR]      (default: the first URI of /etc/apt/sources.list.d/*.sources
#                                         or /etc/apt/sources.list, else deb.debian.org)
#
# Run as root, by hand (not part of `make test`): it downloads ~300 MB of packages and builds the
# server from scratch (no ccache), ~10 minutes on two cores. KEEP=1 keeps the root for a look.
#
# Two steps, because apt needs the network and the server must not take port 80 of this machine:
#   1. with the network, inside the root: `make packages-run`, the first step of `make run`,
#      which installs the missing Debian packages (here: all of them);
#   2. in a network namespace of its own (only lo, up): `make run` itself, whose package check
#      then finds everything, builds and starts the server; its answer is checked from the same
#      namespace. Both run in a mount namespace of their own, so /proc and /dev leave with it.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh_machine.sh: needs root (mmdebstrap, chroot, namespaces)" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel)

mirror=${1:-}
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*debian\)[[:space:]]*$/\1/p' \
             /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
fi
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
  mirror=$(awk '$1 == "deb" && $2 ~ /debian$/ { print $2; exit }' /etc/apt/sources.list)
fi
mirror=${mirror:-http://deb.debian.org/debian}

root=$(mktemp -d /tmp/zts-fresh.XXXXXX)
log=$root.log
cleanup() {
  if [ "${KEEP:-0}" = 1 ]; then
    echo "root kept in $root, log in $log"
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT

now() { date +%s; }
t0=$(now)
echo "mmdebstrap bookworm from $mirror into $root (log: $log)"
mmdebstrap --variant=minbase --include=make bookworm "$root" \
  "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
  "deb ${mirror%/debian}/debian-security bookworm-security main" >"$log" 2>&1
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$repo" "$root/src/zts"
t1=$(now)

# Mounts for apt, dpkg's scripts and the server, private to the namespace they are made in.
in_root='mount -t proc proc "$R/proc"; mount --rbind /dev "$R/dev"; mount -t sysfs sysfs "$R/sys"'

echo "step 1: make packages-run (with the network)"
R=$root unshare -m -- bash -c "$in_root"'; chroot "$R" /bin/sh -c "cd /src/zts && make packages-run"' \
  >>"$log" 2>&1
t2=$(now)

echo "step 2: make run in a network namespace, waiting for op=777"
answer=$(R=$root unshare -m -n -- bash -c "$in_root"'
  ip link set lo up
  setsid chroot "$R" /bin/sh -c "cd /src/zts && exec make run" >>"'"$log"'" 2>&1 &
  make_pid=$!
  body=""
  for _ in $(seq 1 1800); do
    body=$(curl -s --max-time 2 "http://127.0.0.1/gameserver_v2.php?op=777" || true)
    [ -n "$body" ] && break
    kill -0 $make_pid 2>/dev/null || break
    sleep 1
  done
  kill -TERM -- -$make_pid 2>/dev/null || true
  wait $make_pid 2>/dev/null || true
  printf "%s" "$body"')
t3=$(now)

echo "mmdebstrap and clone: $((t1 - t0)) s; packages: $((t2 - t1)) s;" \
  "build and first answer: $((t3 - t2)) s; total: $((t3 - t0)) s"
case "$answer" in
  ZTNS*)
    echo "OK: op=777 answered \"$(printf '%s' "$answer" | head -c 40)\""
    ;;
  *)
    echo "FAILED: op=777 answered \"$(printf '%s' "$answer" | head -c 200)\"; see $log" >&2
    tail -n 30 "$log" >&2
    KEEP=1
    exit 1
    ;;
esac
