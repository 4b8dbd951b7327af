#!/usr/bin/env bash
# Connection-per-request throughput and latency of the real binary against nginx in the same run.
#
#   bench/http_bench.sh [seconds per run, default 10]
#   BINARY=build-x/zts_server bench/http_bench.sh     (default: build/zts_server)
#
# Both servers answer a 4-byte body: zts_server op=777 ("ZTNS"), nginx a static 4-byte file
# (Debian nginx-light: workers = cores, access log on, sendfile with tcp_nopush). wrk sends
# "Connection: close", so every request is a new TCP connection, at 1 and 64 connections.
# Prints requests/s, p50 and p99 for both, wrk's socket errors, the ratio zts/nginx and the load
# average before and after (the machine may be shared: ratios compare runs made side by side).
# All wrk connections come from one address, exactly as many as zts_server's per-address cap at
# 64: a reconnect must find the place of its previous connection free.
#
# Needs root: the whole run happens in a network namespace of its own, where port 80 is free
# and nothing else on the machine competes for it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
binary=$(realpath "${BINARY:-build/zts_server}")
[ -x "$binary" ] || { echo "$binary missing: build it first" >&2; exit 2; }
command -v wrk >/dev/null || { echo "wrk missing (apt-get install wrk)" >&2; exit 2; }
command -v nginx >/dev/null || { echo "nginx missing (apt-get install nginx-light)" >&2; exit 2; }

if [ -z "${ZTS_BENCH_NETNS:-}" ]; then
  exec unshare --net env ZTS_BENCH_NETNS=1 BINARY="$binary" "$0" "$@"
fi
ip link set lo up
host_ip=$(getent hosts "$(hostname)" | awk 'NR==1 {print $1}' || true)
host_ip=${host_ip:-127.0.0.1}
case "$host_ip" in
  127.*) ;;
  *) ip addr add "$host_ip/32" dev lo ;;
esac

work=$(mktemp -d /tmp/zts-http-bench-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -f "$work/nginx.pid" ] && kill -QUIT "$(cat "$work/nginx.pid")" 2>/dev/null
  sleep 0.2
  rm -rf "$work"
}
trap cleanup EXIT

# zts_server in its own working directory, its console echo discarded.
mkdir -p "$work/zts"
(cd "$work/zts" && exec "$binary" >/dev/null 2>&1) &
server_pid=$!
for _ in $(seq 100); do
  grep -q "Running" "$work/zts/zts.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "Running" "$work/zts/zts.log" || { echo "zts_server did not start" >&2; exit 1; }

mkdir -p "$work/www"
printf 'ZTNS' >"$work/www/s.txt"
chmod -R a+rX "$work"  # nginx workers run unprivileged
cat >"$work/nginx.conf" <<EOF
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log $work/nginx-access.log;
  # Header and body in one segment; without it the body waits for the client's delayed ACK.
  sendfile on;
  tcp_nopush on;
  server {
    listen 127.0.0.1:8080;
    root $work/www;
  }
}
EOF
nginx -c "$work/nginx.conf" -p "$work" || { cat "$work/nginx-error.log" >&2; exit 1; }
sleep 0.3

zts_url="http://$host_ip/gameserver_v2.php?op=777"
nginx_url="http://127.0.0.1:8080/s.txt"
[ "$(curl -s "$zts_url")" = ZTNS ] || { echo "zts_server does not answer ZTNS" >&2; exit 1; }
[ "$(curl -s "$nginx_url")" = ZTNS ] || { echo "nginx does not answer" >&2; cat "$work/nginx-error.log" >&2; exit 1; }

# Runs wrk; prints "<requests/s> <p50> <p99> <errors>" (latencies in ms).
measure() {
  local url=$1 conns=$2 threads=$(( $2 < 2 ? 1 : 2 ))
  wrk -t"$threads" -c"$conns" -d"${seconds}s" -H "Connection: close" --latency "$url" |
    awk '
      function ms(v) {
        if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
        if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
        if (v ~ /s$/) return substr(v, 1, length(v) - 1) * 1000
        return v
      }
      /^ +50%/ { p50 = ms($2) }
      /^ +99%/ { p99 = ms($2) }
      /Requests\/sec/ { rps = $2 }
      /Socket errors|Non-2xx/ { errors = errors " " $0 }
      END { printf "%s %.3f %.3f %s\n", rps, p50, p99, (errors == "" ? "-" : errors) }'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-6s %-7s %12s %10s %10s  %s\n" server conns "requests/s" "p50 ms" "p99 ms" errors
declare -A rps
for conns in 1 64; do
  for name in zts nginx; do
    url=$zts_url
    [ "$name" = nginx ] && url=$nginx_url
    read -r r p50 p99 errors < <(measure "$url" "$conns")
    rps[$name$conns]=$r
    printf "%-6s %-7s %12s %10s %10s  %s\n" "$name" "$conns" "$r" "$p50" "$p99" "$errors"
  done
done
for conns in 1 64; do
  awk -v a="${rps[zts$conns]}" -v b="${rps[nginx$conns]}" -v c="$conns" \
    'BEGIN { printf "ratio zts/nginx at %s connection(s): %.2fx\n", c, a / b }'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
