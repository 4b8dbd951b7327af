#!/usr/bin/env bash
# Start-up of two server binaries on the same 10,000 games of 50 stored turns each, alternated in
# one run, and the cost of a game's first one-game API request (the first use of its turn times,
# which reads its turns/ once) against a repeated one.
#
#   bench/startup.sh OLD_BINARY [NEW_BINARY] [rounds, default 5]
#       e.g. OLD_BINARY built from main:  git archive main | tar -x -C /tmp/zts-main &&
#            cmake -S /tmp/zts-main -B /tmp/zts-main/build -DZTS_BENCH=OFF &&
#            cmake --build /tmp/zts-main/build --target zts_server
#   GAMES=10000 TURNS=50 DATA=/tmp/zts-startup-data (kept between runs; KEEP=0 removes it)
#
# Start-up is the wall time from exec to the first answer to op=777 (the games are loaded before
# the server listens), the page cache warm for both (the data is read once before the rounds).
# The turn files are 100 bytes of junk: the loader never reads a save, and the hourly pass that
# runs a second after start cannot parse them, so it changes no game between rounds.
# Needs root: the servers run in a network namespace of their own (port 80).
set -euo pipefail
cd "$(dirname "$0")/.."

old=$(realpath "${1:?usage: bench/startup.sh OLD_BINARY [NEW_BINARY] [rounds]}")
new=$(realpath "${2:-build/zts_server}")
rounds=${3:-5}
games=${GAMES:-10000}
turns=${TURNS:-50}
data=${DATA:-/tmp/zts-startup-data}

if [ -z "${ZTS_BENCH_NETNS:-}" ]; then
  exec unshare --net env ZTS_BENCH_NETNS=1 "$0" "$old" "$new" "$rounds"
fi
ip link set lo up

if [ ! -f "$data/.complete-$games-$turns" ]; then
  rm -rf "$data"
  echo "writing $games games of $turns turns to $data ..."
  python3 - "$data" "$games" "$turns" <<'EOF'
import os, sys
root, games, turns = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
start = 1_700_000_000
for g in range(games):
    d = f"{root}/game_server/game_{g}"
    os.makedirs(d + "/turns")
    players = 2 + g % 3
    rounds, last = divmod(turns - 1, players)
    files = [(t, p) for t in range(rounds + 1) for p in range(players)][:turns]
    with open(d + "/name.txt", "w") as f: f.write(f"Game {g}")
    with open(d + "/descr.txt", "w") as f: f.write("")
    teams = "|".join(f"Team {p}" for p in range(players))
    colors = "|".join("00FF10" for _ in range(players))
    with open(d + "/cond.txt", "w") as f:
        f.write(f"map:Map\nplr_cnt:{players}\nteams:{teams}\ncolors:{colors}\nmoney:1000\n")
    t, p = files[-1]
    with open(d + "/state.txt", "w") as f:
        f.write(f"turn:{t}\ncurplr:{p}\nstatus:0\nlastfile:turn_{t}_{p}.zts\nwinner:0\n"
                f"plr_states:{'|'.join('1' for _ in range(players))}\n")
    for i, (t, p) in enumerate(files):
        path = f"{d}/turns/turn_{t}_{p}.zts"
        with open(path, "wb") as f: f.write(b"x" * 100)
        stamp = start + g * 60 + i * 3600 * (1 + p)
        os.utime(path, (stamp, stamp))
EOF
  touch "$data/.complete-$games-$turns"
fi
# Warm the page cache for both binaries alike.
find "$data/game_server" -type f -exec cat {} + >/dev/null

pid=
stop() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
cleanup() {
  stop
  [ "${KEEP:-1}" = 0 ] && rm -rf "$data"
  rm -f "$data/zts.log"
}
trap cleanup EXIT

# Starts `binary` in the data directory (its pid in `pid`); sets `ms` to the milliseconds to its
# first answer.
start() {
  local binary=$1 t0 t1
  rm -f "$data/zts.log"
  t0=$(date +%s%N)
  (cd "$data" && exec "$binary" >/dev/null 2>&1) &
  pid=$!
  until curl -s -o /dev/null --max-time 1 "http://127.0.0.1/gameserver_v2.php?op=777"; do
    sleep 0.005
  done
  t1=$(date +%s%N)
  ms=$(((t1 - t0) / 1000000))
}

# Median of the numbers on stdin.
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# Seconds of each one-game request for ids $1..$1+19, each asked twice: first, then again.
first_use() {
  local from=$1 id
  for id in $(seq "$from" $((from + 19))); do
    curl -s -o /dev/null -w "%{time_total} " "http://127.0.0.1/api/games/$id"
    curl -s -o /dev/null -w "%{time_total}\n" "http://127.0.0.1/api/games/$id"
  done
}

declare -a old_ms new_ms
for r in $(seq "$rounds"); do
  for side in old new; do
    bin=$old
    [ "$side" = new ] && bin=$new
    start "$bin"
    # Let the start's hourly pass finish, then time first and repeated one-game requests.
    sleep 3
    if curl -s "http://127.0.0.1/gameserver_v2.php?op=777" >/dev/null && ! kill -0 "$pid"; then
      echo "another server answers on port 80" >&2
      exit 1
    fi
    offset=0
    [ "$side" = new ] && offset=50
    uses=$(first_use $((r * 100 + offset)) 2>/dev/null || true)
    stop
    if [ "$side" = old ]; then old_ms+=("$ms"); else new_ms+=("$ms"); fi
    first=$(echo "$uses" | awk '{print $1 * 1000}' | median)
    again=$(echo "$uses" | awk '{print $2 * 1000}' | median)
    printf '%-3s round %d: start-up %5d ms; one-game request first %.2f ms, again %.2f ms\n' \
      "$side" "$r" "$ms" "$first" "$again"
  done
done
o=$(printf '%s\n' "${old_ms[@]}" | median)
n=$(printf '%s\n' "${new_ms[@]}" | median)
echo "median start-up: old $o ms, new $n ms, new/old $(awk -v a="$n" -v b="$o" 'BEGIN {printf "%.3f", a / b}')"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
