#!/usr/bin/env bash
# Game-protocol figures against the real binary, each beside nginx serving the same bytes as a
# static file in the same run (new connection per request, concurrency 1 and 64):
#   1. op=28 of a 200 KB turn file;
#   2. op=11 and op=666 over 1,001 games (every second name Cyrillic);
#   3. op=27 submissions of a 200 KB save, durable, one game per client (bench/
#      submit_load_bench.cpp), beside bench/move_files_bench.cpp doing the same file work per
#      move (turn file and state.txt, each written, synced, renamed, directory synced) from as
#      many threads on as many directories, and the disk's rate of synchronous 200 KB writes.
# Everything runs in a network namespace of its own, so port 80 is ours alone and other servers
# on this machine are neither disturbed nor measured. Needs root (unshare, port 80), nginx, wrk,
# and about 20 GB free under /tmp: the submission runs keep every file they write until the end.
#
#   bench/ops_bench.sh                    # build in build-ops, run, print
#   SECONDS_EACH=5 ROUNDS=1 bench/ops_bench.sh     # shorter runs
#   PARTS=submissions bench/ops_bench.sh           # only the submissions (or: downloads)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-ops}
SECONDS_EACH=${SECONDS_EACH:-10}
ROUNDS=${ROUNDS:-3}
PARTS=${PARTS:-downloads submissions}

if [ -z "${ZTS_IN_NETNS:-}" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j2 --target zts_server submit_load_bench move_files_bench >/dev/null
  exec unshare --net env ZTS_IN_NETNS=1 BUILD="$BUILD" SECONDS_EACH="$SECONDS_EACH" ROUNDS="$ROUNDS" \
    PARTS="$PARTS" \
    NGINX_ACCESS_LOG="${NGINX_ACCESS_LOG:-}" \
    bash "$0" "$@"
fi

ip link set lo up
# The server listens on the address of the host's name; make sure it exists in here.
host_ip=$(getent hosts "$(hostname)" | awk 'NR == 1 {print $1}' || true)
case "${host_ip:-127.0.0.1}" in
  127.*) ;;
  *) ip addr add "$host_ip/32" dev lo ;;
esac
server="http://${host_ip:-127.0.0.1}"
root=$(pwd)
work=$(mktemp -d /tmp/zts-ops-bench-XXXXXX)
chmod 755 "$work"
mkdir -p "$work/server" "$work/static" "$work/nginx"
load="$root/$BUILD/bench/submit_load_bench"
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# nginx as Debian ships it (worker_processes auto, sendfile, an access log line per request, as
# the server writes one), on port 8080, without keep-alive, so that it too serves one request
# per connection. NGINX_ACCESS_LOG=off gives the harder anchor without the log line.
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
daemon off;
events { worker_connections 1024; }
http {
  access_log ${NGINX_ACCESS_LOG:-$work/nginx/access.log};
  keepalive_timeout 0;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:8080;
    root $work/static;
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" &
nginx_pid=$!

# Starts the server and returns once its first refresh pass (a second after start, under the
# lock) is over, so that no run measures it.
refresh_passes() { cat "$work/server/zts.log" 2>/dev/null | grep -c "Status refresh" || true; }
start_server() {
  local passes
  passes=$(refresh_passes)
  (cd "$work/server" && exec "$root/$BUILD/zts_server" >/dev/null) &
  server_pid=$!
  for _ in $(seq 1200); do
    [ "$(refresh_passes)" -gt "$passes" ] && return
    sleep 0.1
  done
  echo "the server's first refresh pass did not end" >&2
  exit 1
}
stop_server() {
  kill "$server_pid" && wait "$server_pid" || true
  server_pid=""
}
start_server

# Requests/s of wrk against `url` with `conns` connections, and its error counts if any.
rate() {
  local out
  out=$(wrk -t"$(($2 < 2 ? 1 : 2))" -c"$2" -d"${SECONDS_EACH}s" -H "Connection: close" "$1")
  echo "$out" | awk '/Requests\/sec/ {r = $2} /Socket errors|Non-2xx/ {e = e " " $0}
                     END {print r (e == "" ? "" : " (" e " )")}'
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# Server and nginx in turn, ROUNDS times, for one request at c=1 and c=64: the medians and
# their ratio, then every single figure (the machine is shared, so single runs vary).
compare() {
  local label=$1 query=$2 file=$3
  for c in 1 64; do
    local ours=() theirs=() notes=""
    for _ in $(seq "$ROUNDS"); do
      local a b
      a=$(rate "$server/gameserver_v2.php$query" "$c")
      b=$(rate "http://127.0.0.1:8080/$file" "$c")
      ours+=("${a%% *}")
      theirs+=("${b%% *}")
      [ "$a" != "${a%% *}" ] && notes="$notes server:${a#* }"
      [ "$b" != "${b%% *}" ] && notes="$notes nginx:${b#* }"
    done
    local mo mt
    mo=$(echo "${ours[*]}" | median)
    mt=$(echo "${theirs[*]}" | median)
    awk -v l="$label" -v c="$c" -v o="$mo" -v t="$mt" 'BEGIN {
      printf "%-26s c=%-3s server %8.1f req/s  nginx %8.1f req/s  ratio %.2fx\n",
             l, c, o, t, o / t }'
    echo "    runs: server ${ours[*]} | nginx ${theirs[*]}"
    [ -z "$notes" ] || echo "    errors:$notes"
  done
}

echo "== set-up"
"$load" create --port 80 --count 1 --save-bytes 204800
cp "$work/server/game_server/game_0/turns/turn_0_0.zts" "$work/static/turn.zts"
# 1,000 small games: two made by the server, copied on disk under their own numbers and names
# (every second one Cyrillic), then loaded by a restart as at any start.
"$load" create --port 80 --count 2 --save-bytes 300
stop_server
for i in $(seq 3 1000); do
  cp -r "$work/server/game_server/game_$((1 + i % 2))" "$work/server/game_server/game_$i"
  if ((i % 2)); then printf '\xc8\xe3\xf0\xe0 %d' "$i"; else printf 'Game %d' "$i"; fi \
    >"$work/server/game_server/game_$i/name.txt"
done
start_server
curl -s "$server/gameserver_v2.php?op=11" >"$work/static/list11.txt"
curl -s "$server/gameserver_v2.php?op=666" >"$work/static/list666.txt"
chmod -R a+rX "$work/static"
ls -l "$work/static" | awk 'NR > 1 {print "  " $9 ": " $5 " bytes"}'
cmp <(curl -s "http://127.0.0.1:8080/turn.zts") "$work/static/turn.zts"
cmp <(curl -s "$server/gameserver_v2.php?op=28&fn=game_0") "$work/static/turn.zts"

if [[ $PARTS == *downloads* ]]; then
  echo "== downloads and lists (${SECONDS_EACH} s each)"
  compare "op=28, 200 KB turn file" "?op=28&fn=game_0" turn.zts
  compare "op=11, 1,001 games" "?op=11" list11.txt
  compare "op=666, 1,001 games" "?op=666" list666.txt
  # The lists must not have changed under the runs (a refresh pass, say).
  cmp <(curl -s "$server/gameserver_v2.php?op=11") "$work/static/list11.txt"
  cmp <(curl -s "$server/gameserver_v2.php?op=666") "$work/static/list666.txt"
fi

if [[ $PARTS == *submissions* ]]; then
  echo "== submissions (${SECONDS_EACH} s each), each beside the same file work without a server"
  # The server's runs first, then the program's, and nothing is deleted in between. On ext4
  # without a journal, creating a file scans past every inode freed in the last minutes (up to
  # six), so a run right after deleting thousands of files pays for them: the program's runs each
  # free an inode per move, and removing a run's directory frees thousands at once.
  files="$root/$BUILD/bench/move_files_bench"
  # A run with errors or failures (a full disk, say: each run writes gigabytes) says so and ends.
  failed() {
    echo "$1 failed:" >&2
    echo "$2" >&2
    df -h "$work" >&2
    exit 1
  }
  first_id=1001
  declare -A ours theirs alike
  for clients in 1 64; do
    ours[$clients]=$("$load" submit --clients "$clients" --seconds "$SECONDS_EACH" \
      --first-id "$first_id") || failed "server, $clients clients" "${ours[$clients]}"
    first_id=$((first_id + clients))
  done
  # The program doing the file work as the server does it (state.txt refilled into its spare and
  # exchanged, the replaced newest turn dropped from the page cache), then as the figure defines
  # it (state.txt replaced by a new file each move): the latter frees inodes, so it goes last.
  for clients in 1 64; do
    alike[$clients]=$("$files" --dir "$work/alike_$clients" --threads "$clients" \
      --seconds "$SECONDS_EACH" --like-server 1) ||
      failed "files as the server does them, $clients threads" "${alike[$clients]}"
  done
  for clients in 1 64; do
    theirs[$clients]=$("$files" --dir "$work/files_$clients" --threads "$clients" \
      --seconds "$SECONDS_EACH") || failed "files, $clients threads" "${theirs[$clients]}"
  done
  for clients in 1 64; do
    echo "${ours[$clients]}" | sed 's/^/  server:     /'
    echo "${theirs[$clients]}" | sed 's/^/  files:      /'
    echo "${alike[$clients]}" | sed 's/^/  as server:  /'
    o=$(echo "${ours[$clients]}" | awk '/submissions\/s/ {print $2}')
    t=$(echo "${theirs[$clients]}" | awk '/moves\/s/ {print $5}')
    p=$(echo "${alike[$clients]}" | awk '/moves\/s/ {print $5}')
    awk -v c="$clients" -v o="$o" -v t="$t" -v p="$p" 'BEGIN {
      printf "op=27 200 KB, %d clients: %.1f/s vs %.1f/s, ratio %.2fx (vs that file work done as the server does it %.1f/s: %.2fx)\n",
             c, o, t, o / t, p, o / p }'
  done
fi
echo "== anchor: synchronous 200 KB writes on the same disk"
dd if=/dev/zero of="$work/server/dd.bin" bs=200k count=200 oflag=dsync 2>&1 | tail -1 |
  awk '{ printf "  200 writes with O_DSYNC in %s s: %.0f writes/s\n", $(NF-3), 200 / $(NF-3) }'
