#!/usr/bin/env bash
# Memory under churn: 200 clients keep creating games, playing a few moves and finishing them
# (zts_load --mix --churn) for CHURN_SECONDS (default 20 minutes) against the real binary, while
# the server's resident memory and the number of games are written down once a minute; at the
# end the mixed-run table and the on-disk check of zts_load. With HEAPTRACK=1 the server runs
# under heaptrack and the profile is kept as $OUT_DIR/zts_server.heaptrack.*.zst.
# Isolated in a network namespace of its own (port 80); needs root.
#
#   bench/churn.sh                              # build in build-load, 20 minutes
#   CHURN_SECONDS=180 HEAPTRACK=1 bench/churn.sh
#   CHURN_GAMES=5000 bench/churn.sh            # the game count stops at about 5,200
#   SERVER=/path/to/other/zts_server bench/churn.sh   # another build of the server, same clients
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-load}
CHURN_SECONDS=${CHURN_SECONDS:-1200}
CHURN_MOVES=${CHURN_MOVES:-8}
CHURN_GAMES=${CHURN_GAMES:-0}  # new games in all after which play goes on without more; 0: no end
OUT_DIR=${OUT_DIR:-/tmp}

if [ -z "${ZTS_IN_NETNS:-}" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j2 --target zts_server zts_load >/dev/null
  exec unshare --net env ZTS_IN_NETNS=1 BUILD="$BUILD" CHURN_SECONDS="$CHURN_SECONDS" \
    CHURN_MOVES="$CHURN_MOVES" CHURN_GAMES="$CHURN_GAMES" OUT_DIR="$OUT_DIR" HEAPTRACK="${HEAPTRACK:-}" SERVER="${SERVER:-}" \
    bash "$0" "$@"
fi

ip link set lo up
root=$(pwd)
server_bin=${SERVER:-$root/$BUILD/zts_server}
work=$(mktemp -d /tmp/zts-churn-XXXXXX)
server_pid=""
sampler_pid=""
cleanup() {
  if [ -n "$sampler_pid" ]; then kill "$sampler_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/server"
if [ -n "${HEAPTRACK:-}" ]; then
  (cd "$work/server" && exec heaptrack -o "$OUT_DIR/zts_server.heaptrack" \
    "$server_bin" >console.txt 2>&1) &
else
  (cd "$work/server" && exec "$server_bin" >console.txt 2>&1) &
fi
launcher=$!
for _ in $(seq 300); do
  grep -q "Running" "$work/server/zts.log" 2>/dev/null && break
  sleep 0.1
done
server_pid=$(pgrep -n -P "$launcher" zts_server || echo "$launcher")
[ -n "${HEAPTRACK:-}" ] || server_pid=$launcher

# One line a minute: minutes, RSS in MB, games on disk.
(
  start=$(date +%s)
  while sleep 60; do
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$server_pid/status" 2>/dev/null || echo 0)
    printf '  minute %3d  RSS %6.1f MB  games %6d  load %s\n' "$((($(date +%s) - start) / 60))" \
      "$(echo "$rss / 1024" | bc -l)" "$(ls "$work/server/game_server" | wc -l)" \
      "$(cut -d' ' -f1-3 /proc/loadavg)"
  done
) &
sampler_pid=$!

status=0
echo "== churn: 200 clients, ${CHURN_SECONDS} s, a new game after every ${CHURN_MOVES} moves"
"$root/$BUILD/bench/zts_load" --mix --churn "$CHURN_MOVES" --churn-games "$CHURN_GAMES" --clients 200 \
  --seconds "$CHURN_SECONDS" --pid "$server_pid" --dir "$work/server" --run 1 || status=1
kill "$sampler_pid" 2>/dev/null || true
sampler_pid=""
echo "server RSS at the end: $(grep VmRSS /proc/$server_pid/status)"
echo "games on disk: $(ls "$work/server/game_server" | wc -l)"
kill -TERM "$server_pid"
wait "$launcher" && echo "server stopped with status 0" || { echo "server exit status $?"; status=1; }
server_pid=""
exit $status
