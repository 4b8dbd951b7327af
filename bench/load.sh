#!/usr/bin/env bash
# Load run against the real binary on loopback, with the figures printed at the end:
#   1. anchor: 200 clients repeating one GET for 10 s, against nginx serving the 4 bytes "ZTNS"
#      as a static file and against the server's op=777 (the same bytes);
#   2. three consecutive 60 s runs of 200 clients mixing every kind of request, each client playing
#      its own game (created in the first run, continued in the others), with the server's memory
#      and a check of every accepted turn on disk after each run;
#   3. the same mix paced at a few steady rates below the most the server takes (LOAD_RATES);
#   4. 500 silent or trickling connections beside 8 normal clients, until the server has closed
#      them all (75 s at most).
# Everything runs in a network namespace of its own, so port 80 is ours alone and other servers
# on this machine are neither disturbed nor measured. Needs root (unshare, port 80) and nginx.
#
#   bench/load.sh                      # build in build-load, run, print
#   LOAD_SECONDS=10 bench/load.sh      # shorter mixed runs
#   LOAD_RATES="2000" PACED_SECONDS=60 bench/load.sh   # paced runs after them (default
#                                      # 1000, 2000 and 3000 requests/s, 30 s each; "" for none)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-load}
LOAD_SECONDS=${LOAD_SECONDS:-60}
ANCHOR_SECONDS=${ANCHOR_SECONDS:-10}
SLOW_SECONDS=${SLOW_SECONDS:-75}
LOAD_RUNS=${LOAD_RUNS:-3}
LOAD_RATES=${LOAD_RATES-1000 2000 3000}
PACED_SECONDS=${PACED_SECONDS:-30}

if [ -z "${ZTS_IN_NETNS:-}" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j2 --target zts_server zts_load >/dev/null
  exec unshare --net env ZTS_IN_NETNS=1 BUILD="$BUILD" LOAD_SECONDS="$LOAD_SECONDS" \
    ANCHOR_SECONDS="$ANCHOR_SECONDS" SLOW_SECONDS="$SLOW_SECONDS" LOAD_RUNS="$LOAD_RUNS" \
    LOAD_RATES="$LOAD_RATES" PACED_SECONDS="$PACED_SECONDS" bash "$0" "$@"
fi

ip link set lo up
root=$(pwd)
work=$(mktemp -d /tmp/zts-load-XXXXXX)
server_pid=""
nginx_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; fi
  if [ -n "$nginx_pid" ]; then kill -QUIT "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# nginx: two workers like the server's two cores, no access log, the anchor file.
mkdir -p "$work/www" "$work/nginx" "$work/server"
chmod 755 "$work" "$work/www"  # nginx's workers run as an unprivileged user
printf 'ZTNS' >"$work/www/ping.txt"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:8080 backlog=4096;
    root $work/www;
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" &
nginx_pid=$!

(cd "$work/server" && exec "$root/$BUILD/zts_server" >console.txt 2>&1) &
server_pid=$!
for _ in $(seq 100); do
  grep -q "Running" "$work/server/zts.log" 2>/dev/null && break
  sleep 0.1
done
if grep -q "Boom" "$work/server/zts.log"; then
  echo "the server could not listen:"; cat "$work/server/zts.log"; exit 1
fi
sleep 0.5

load="$root/$BUILD/bench/zts_load"
status=0
echo "== anchor: one GET, 200 clients, ${ANCHOR_SECONDS} s each"
"$load" --get /ping.txt --expect ZTNS --port 8080 --clients 200 --seconds "$ANCHOR_SECONDS" || status=1
"$load" --get "/gameserver_v2.php?op=777" --expect ZTNS --port 80 --clients 200 \
  --seconds "$ANCHOR_SECONDS" || status=1

for run in $(seq "$LOAD_RUNS"); do
  echo
  echo "== mixed run $run: 200 clients, ${LOAD_SECONDS} s"
  "$load" --mix --clients 200 --seconds "$LOAD_SECONDS" --pid "$server_pid" --dir "$work/server" \
    --run "$run" || status=1
done

# The same mix offered at a steady rate below what the server can take, as players who think
# between their requests make it: the latency a player sees, where the runs above (each client
# going on the moment it has its reply) measure how much the server takes at most.
run=$LOAD_RUNS
for rate in $LOAD_RATES; do
  run=$((run + 1))
  echo
  echo "== paced mixed run: 200 clients offering $rate requests/s, ${PACED_SECONDS} s"
  "$load" --mix --clients 200 --seconds "$PACED_SECONDS" --pid "$server_pid" --dir "$work/server" \
    --run "$run" --rate "$rate" || status=1
done

echo
echo "== slow and silent connections"
"$load" --slow 500 --clients 8 --seconds "$SLOW_SECONDS" || status=1

echo
echo "server RSS now: $(grep VmRSS /proc/$server_pid/status)"
echo "games on disk: $(ls "$work/server/game_server" | wc -l)," \
  "turn files: $(find "$work/server/game_server" -name '*.zts' | wc -l)"
kill -TERM "$server_pid"
wait "$server_pid" && echo "server stopped with status 0" || { echo "server exit status $?"; status=1; }
server_pid=""
grep -c "^.*ERR" "$work/server/zts.log" | sed 's/^/ERR lines in zts.log: /' || true
exit $status
