#!/usr/bin/env bash
# What counting metrics costs: the same requests against a server that counts and one built with
# counting off, alternated in the same run.
#
#   bench/metrics_bench.sh [seconds per run, default 10] [rounds, default 3]
#   ON=build/zts_server OFF=build-nometrics/zts_server bench/metrics_bench.sh
#
# The "off" binary is the same tree built with -DZTS_METRICS=OFF (every counting function
# returns at once, no /metrics):
#   cmake -S . -B build-nometrics -DZTS_METRICS=OFF -DZTS_BENCH=OFF && \
#     cmake --build build-nometrics -j2 --target zts_server
# Each round starts a fresh server of each kind in turn (on, then off) and runs wrk with
# "Connection: close" (a new connection per request) at 1 and 64 connections on op=777 (the
# cheapest request, where the counting weighs most) and on /api/games (unchanged list, 200 from
# memory). Prints requests/s and the server's CPU time per request (user + system, from
# /proc/<pid>/stat: steadier than throughput on a shared machine) per run, and the ratios on/off
# of the summed rounds.
#
# Needs root: the run happens in a network namespace of its own, where port 80 is free.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
rounds=${2:-3}
on=$(realpath "${ON:-build/zts_server}")
off=$(realpath "${OFF:-build-nometrics/zts_server}")
for b in "$on" "$off"; do
  [ -x "$b" ] || { echo "$b missing: build it first (see the top of this script)" >&2; exit 2; }
done
command -v wrk >/dev/null || { echo "wrk missing (apt-get install wrk)" >&2; exit 2; }

if [ -z "${ZTS_BENCH_NETNS:-}" ]; then
  exec unshare --net env ZTS_BENCH_NETNS=1 ON="$on" OFF="$off" "$0" "$@"
fi
ip link set lo up
host_ip=$(getent hosts "$(hostname)" | awk 'NR==1 {print $1}' || true)
host_ip=${host_ip:-127.0.0.1}
case "$host_ip" in
  127.*) ;;
  *) ip addr add "$host_ip/32" dev lo ;;
esac

work=$(mktemp -d /tmp/zts-metrics-bench-XXXXXX)
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

# Starts `binary` in a fresh directory holding one game (so /api/games has something to list).
start_server() {
  local binary=$1 dir=$work/$2
  rm -rf "$dir" && mkdir -p "$dir/game_server/game_0/turns"
  printf 'Bench game' >"$dir/game_server/game_0/name.txt"
  printf '' >"$dir/game_server/game_0/descr.txt"
  printf 'map:M\nplr_cnt:2\nteams:A|B\ncolors:FF0000|00FF00\nmoney:0\nresource:0\nmoratorium:0\nuniset:u\nrules:0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0\n' \
    >"$dir/game_server/game_0/cond.txt"
  printf 'turn:3\ncurplr:1\nstatus:0\nlastfile:turn_3_1.zts\nwinner:0\nplr_states:1|1\n' \
    >"$dir/game_server/game_0/state.txt"
  printf 'x' >"$dir/game_server/game_0/turns/turn_3_1.zts"
  (cd "$dir" && exec "$binary" >/dev/null 2>&1) &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "Running" "$dir/zts.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "Running" "$dir/zts.log" || { echo "$binary did not start" >&2; exit 1; }
}

# CPU time the server has used so far, in clock ticks.
server_ticks() {
  awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$server_pid/stat"
}

# Prints "<requests/s> <server CPU microseconds per request>".
measure() {
  local url=$1 conns=$2 threads=$(( $2 < 2 ? 1 : 2 ))
  local before after
  before=$(server_ticks)
  wrk -t"$threads" -c"$conns" -d"${seconds}s" -H "Connection: close" "$url" >"$work/wrk.txt"
  after=$(server_ticks)
  awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" '
    /requests in/ { n = $1 }
    /Requests\/sec/ { rps = $2 }
    END { printf "%s %.1f\n", rps, (n > 0 ? t / hz * 1e6 / n : 0) }' "$work/wrk.txt"
}

declare -A total cpu
cases=("op777 1 /gameserver_v2.php?op=777" "op777 64 /gameserver_v2.php?op=777"
       "api 1 /api/games" "api 64 /api/games")
printf "%-6s %-6s %-6s %6s %12s %12s\n" round server path conns "requests/s" "CPU us/req"
for round in $(seq "$rounds"); do
  for kind in on off; do
    binary=$on
    [ "$kind" = off ] && binary=$off
    start_server "$binary" "$kind"
    for c in "${cases[@]}"; do
      read -r name conns path <<<"$c"
      read -r r us < <(measure "http://$host_ip$path" "$conns")
      total[$kind/$name/$conns]=$(awk -v a="${total[$kind/$name/$conns]:-0}" -v b="$r" 'BEGIN { print a + b }')
      cpu[$kind/$name/$conns]=$(awk -v a="${cpu[$kind/$name/$conns]:-0}" -v b="$us" 'BEGIN { print a + b }')
      printf "%-6s %-6s %-6s %6s %12s %12s\n" "$round" "$kind" "$name" "$conns" "$r" "$us"
    done
    stop_server
  done
done
for c in "${cases[@]}"; do
  read -r name conns path <<<"$c"
  awk -v a="${total[on/$name/$conns]}" -v b="${total[off/$name/$conns]}" \
    -v x="${cpu[on/$name/$conns]}" -v y="${cpu[off/$name/$conns]}" -v n="$name" -v c="$conns" \
    'BEGIN { printf "on/off %-6s at %2s connection(s): throughput %.3f, CPU per request %.3f\n",
             n, c, a / b, x / y }'
done
