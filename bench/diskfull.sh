#!/usr/bin/env bash
# Disk full: the real binary with game_server/ on a 2 MB tmpfs that a filler file fills; a create
# and a move are tried at every amount of free space from 0 pages up until each succeeds, every
# refusal must change nothing, other requests are served while full, play goes on once freed
# (tests/faults/disk_full_main.cpp). Isolated in namespaces of its own; needs root. Exit status
# 0 when every check passed, 77 when a tmpfs cannot be mounted here.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-faults}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target zts_server zts_check zts_diskfull >/dev/null
ZTS_BUILD_DIR="$PWD/$BUILD" exec "$BUILD/zts_diskfull"
