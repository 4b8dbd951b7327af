#!/usr/bin/env bash
# A snapshot of a large data directory under load, against the real binary:
#   1. GAMES games (default 10,000): CLIENTS clients (default 64) create theirs through the
#      protocol, the rest are copies of them on disk under their own numbers and names, loaded by
#      a restart;
#   2. a baseline run: the clients play turns and poll op=11 (zts_load --lists-and-moves) for
#      LOAD_SECONDS;
#   3. the same run again while zts_admin takes snapshot after snapshot of every game;
#   4. with the clients gone, two snapshots one after the other: what the first costs in time
#      and disk, and what an unchanged second one costs.
# Meanwhile a prober asks /healthz (op=777 when the server has no /healthz) every 0.2 s, and the
# server runs with a service manager's watchdog of WATCHDOG_SEC (default 3 s;
# the server pings about once a second) whose pings are
# written down. Passes when op=11's p99 during the snapshots is within 2x of the baseline's, no
# probe failed, and no two watchdog pings were further apart than WATCHDOG_SEC.
# Runs in a network namespace of its own (port 80); needs root.
#
#   bench/snapshot_load.sh
#   GAMES=2000 LOAD_SECONDS=10 bench/snapshot_load.sh
#   RATE=400 bench/snapshot_load.sh     # the clients paced at 400 requests/s together
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-load}
GAMES=${GAMES:-10000}
CLIENTS=${CLIENTS:-64}
LOAD_SECONDS=${LOAD_SECONDS:-30}
RATE=${RATE:-0}
WATCHDOG_SEC=${WATCHDOG_SEC:-3}
SERVER=${SERVER:-}  # another build of the server, for comparison

if [ -z "${ZTS_IN_NETNS:-}" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j2 --target zts_server zts_admin zts_load >/dev/null
  exec unshare --net env ZTS_IN_NETNS=1 BUILD="$BUILD" GAMES="$GAMES" CLIENTS="$CLIENTS" \
    LOAD_SECONDS="$LOAD_SECONDS" RATE="$RATE" WATCHDOG_SEC="$WATCHDOG_SEC" SERVER="$SERVER" bash "$0" "$@"
fi

ip link set lo up
root=$(pwd)
work=$(mktemp -d /tmp/zts-snapload-XXXXXX)
server=$work/server
load="$root/$BUILD/bench/zts_load"
admin() { (cd "$server" && "$root/$BUILD/zts_admin" --socket admin.sock "$@"); }
server_pid=""
helper_pids=()
cleanup() {
  for p in "${helper_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$server" "$server/snapshots"

# The service manager's side of the watchdog: one line per WATCHDOG=1, its time in seconds, and
# the phase (the name in $work/phase) it came in.
echo set-up >"$work/phase"
python3 - "$work/notify.sock" "$work/pings.txt" "$work/phase" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a", buffering=1) as out:
    while True:
        msg = s.recv(4096).decode(errors="replace")
        if "WATCHDOG=1" in msg.split("\n"):
            with open(sys.argv[3]) as phase:
                out.write("%s %.3f\n" % (phase.read().strip(), time.monotonic()))
EOF
helper_pids+=($!)

start_server() {
  rm -f "$server/zts.log"
  local began=$(date +%s.%N)
  (cd "$server" && NOTIFY_SOCKET="$work/notify.sock" WATCHDOG_USEC=$((WATCHDOG_SEC * 1000000)) \
    exec "${SERVER:-$root/$BUILD/zts_server}" >>console.txt 2>&1) &
  server_pid=$!
  for _ in $(seq 600); do
    grep -q "Running" "$server/zts.log" 2>/dev/null && break
    sleep 0.1
  done
  printf '  server up in %.1f s\n' "$(echo "$(date +%s.%N) - $began" | bc -l)"
}
stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}

echo "== set-up: $CLIENTS games through the protocol, copied on disk up to $GAMES"
start_server
"$load" --mix --lists-and-moves --clients "$CLIENTS" --seconds 3 --pid "$server_pid" \
  --dir "$server" --run 1 >/dev/null
stop_server
for i in $(seq "$CLIENTS" $((GAMES - 1))); do
  cp -r "$server/game_server/game_$((i % CLIENTS))" "$server/game_server/game_$i"
  printf 'Copy %d' "$i" >"$server/game_server/game_$i/name.txt"
done
echo "  $(ls "$server/game_server" | grep -c '^game_') games," \
  "$(find "$server/game_server" -type f | wc -l) files, $(du -sh "$server/game_server" | cut -f1)"
sync
start_server
# The first hourly pass runs a second after start, on the thread that pings the watchdog; its
# pings are measured from after it (with 10,000 games it took 8 s under this load, longer than
# this WatchdogSec; the packaged WatchdogSec=60 leaves room for it).
for _ in $(seq 600); do
  grep -q "Status refresh" "$server/zts.log" 2>/dev/null && break
  sleep 0.1
done
: >"$work/pings.txt"

# The prober: one line per probe, "<phase> <HTTP status> <seconds>".
probe_target=/healthz
if [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1$probe_target")" = 404 ]; then
  probe_target="/gameserver_v2.php?op=777"
fi
echo "  probing $probe_target"
echo baseline >"$work/phase"
(
  while :; do
    line=$(curl -s -o /dev/null -m 5 -w '%{http_code} %{time_total}' \
      "http://127.0.0.1$probe_target" || true)
    echo "$(cat "$work/phase") ${line:-000 5}"
    sleep 0.2
  done
) >"$work/probes.txt" &
helper_pids+=($!)

rate_args=()
if [ "$RATE" != 0 ]; then rate_args=(--rate "$RATE"); fi
list_p99() { awk -F'|' '$2 ~ /op=11 / {gsub(/ /, "", $6); print $6}' "$1"; }

echo
echo "== baseline: $CLIENTS clients, turns and op=11, ${LOAD_SECONDS} s"
"$load" --mix --lists-and-moves --clients "$CLIENTS" --seconds "$LOAD_SECONDS" "${rate_args[@]}" \
  --pid "$server_pid" --dir "$server" --run 2 | tee "$work/baseline.txt" || true

echo
echo "== the same while snapshots follow one another"
echo snapshots >"$work/phase"
"$load" --mix --lists-and-moves --clients "$CLIENTS" --seconds "$LOAD_SECONDS" "${rate_args[@]}" \
  --pid "$server_pid" --dir "$server" --run 3 >"$work/during.txt" &
load_pid=$!
sleep 1
n=0
while kill -0 "$load_pid" 2>/dev/null; do
  n=$((n + 1))
  t0=$(date +%s.%N)
  reply=$(admin snapshot "snapshots/s$n" | head -1)
  printf '  snapshot %d: %.2f s, %s\n' "$n" "$(echo "$(date +%s.%N) - $t0" | bc -l)" "$reply"
done
wait "$load_pid" || true
cat "$work/during.txt"
echo quiet >"$work/phase"
rm -rf "$server"/snapshots/s*

echo
echo "== with no clients: a first snapshot and an unchanged second one"
sync
for name in first second; do
  t0=$(date +%s.%N)
  reply=$(admin snapshot "snapshots/$name" | head -1)
  printf '  %s: %.2f s, %s\n' "$name" "$(echo "$(date +%s.%N) - $t0" | bc -l)" "$reply"
done
# du counts a file linked twice once, under the first directory that names it.
du -sk "$server/game_server" "$server/snapshots/first" "$server/snapshots/second" |
  awk 'NR == 1 {print "  data: " $1 " KiB"} NR == 2 {print "  first snapshot adds: " $1 " KiB"}
       NR == 3 {print "  second snapshot adds: " $1 " KiB"}'

echo
status=0
base=$(list_p99 "$work/baseline.txt")
during=$(list_p99 "$work/during.txt")
ratio=$(echo "$during / $base" | bc -l)
printf 'op=11 p99: %.2f ms baseline, %.2f ms during snapshots: %.2fx\n' "$base" "$during" "$ratio"
if (($(echo "$ratio > 2" | bc -l))); then echo "FAIL: more than 2x"; status=1; fi
awk -v t="$probe_target" '
  {n[$1]++; if ($2 != 200) bad[$1]++; if ($3 > worst[$1]) worst[$1] = $3}
  END {for (p in n) printf "%s probes (%s) %s: %d, failed %d, slowest %.3f s\n", t, p, "", n[p], bad[p], worst[p];
       for (p in bad) if (bad[p] > 0) exit 1}' "$work/probes.txt" || { echo "FAIL: a probe failed"; status=1; }
awk -v limit="$WATCHDOG_SEC" '
  NR > 1 {gap = $2 - prev; if (gap > worst[$1]) worst[$1] = gap; if (gap > limit) late++}
  {n[$1]++; prev = $2}
  END {for (p in n) printf "watchdog pings (%s): %d, longest gap %.2f s (WatchdogSec %d)\n", p, n[p], worst[p], limit;
       exit late > 0}' "$work/pings.txt" || { echo "FAIL: the watchdog would have fired"; status=1; }
if grep -q "FAULT" "$work/baseline.txt" "$work/during.txt"; then echo "FAIL: zts_load found faults"; status=1; fi
stop_server
exit $status
