#!/usr/bin/env bash
# Crash during play, the full run: the real binary is killed with SIGKILL at random moments
# (KILLS times, default 200) while CLIENTS clients play their games to the end and an operator
# thread works on the finished games through the admin socket, restarted each time, and after every
# kill zts_check and the clients' acknowledgements are checked (tests/faults/crash_play_main.cpp
# says what exactly). The run isolates itself in network and mount namespaces of its own, so
# port 80 is its own. Needs root. Prints each violation as found and a summary line; exit
# status 0 when there was none.
#
#   bench/crash.sh                       # build in build-faults, 200 kills
#   KILLS=20 SEED=42 bench/crash.sh      # shorter, repeatable kill times
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-faults}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target zts_server zts_check zts_crashplay >/dev/null
args=(--kills "${KILLS:-200}" --clients "${CLIENTS:-4}")
if [ -n "${SEED:-}" ]; then args+=(--seed "$SEED"); fi
ZTS_BUILD_DIR="$PWD/$BUILD" exec "$BUILD/zts_crashplay" "${args[@]}"
