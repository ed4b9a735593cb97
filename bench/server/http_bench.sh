#!/usr/bin/env bash
# The resource server against nginx serving the same cached files, measured
# with wrk: requests per second and p99 latency for a 1 KB and a 100 KB file
# at 1, 16 and 64 connections, with "Connection: Keep-Alive" and without it;
# then the peak resident memory of each while 8 clients fetch a 50 MB file
# at once. Everything stays on 127.0.0.1.
#
#   bench/server/http_bench.sh [seconds per run, default 5]   (after the normal build)
#
# Without the header the server closes every connection after its reply;
# nginx is then asked on a second port with keepalive_timeout 0, so both
# pay for a connection per request.
set -euo pipefail
cd "$(dirname "$0")/../.."
SECONDS_PER_RUN=${1:-5}
SERVE=$PWD/build/bin/http_serve
[ -x "$SERVE" ] || { echo "build first: $SERVE is missing" >&2; exit 1; }

WORK=$(mktemp -d /tmp/tessel-http-bench-XXXXXX)
SERVE_PID=
NGINX_PID=
cleanup() {
  if [ -n "$SERVE_PID" ]; then kill "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; fi
  if [ -n "$NGINX_PID" ]; then kill -QUIT "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/cache" "$WORK/log" "$WORK/nginx/logs"
head -c 1024 /dev/urandom >"$WORK/cache/small.swf"
head -c 102400 /dev/urandom >"$WORK/cache/medium.swf"
head -c 52428800 /dev/urandom >"$WORK/cache/large.bin"

port_is_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port_from() {
  local p=$1
  while ! port_is_free "$p"; do p=$((p + 1)); done
  echo "$p"
}
wait_for_port() {
  for _ in $(seq 100); do port_is_free "$1" || return 0; sleep 0.05; done
  echo "nothing listens on $1" >&2
  return 1
}

# The server: its run log in the work directory; every file is cached, so
# the site it would fetch from is never reached.
WINDIR=$WORK/log QUILLBY_BASE_URL=http://127.0.0.1:9/ "$SERVE" "$WORK/cache" 19898 >"$WORK/port" &
SERVE_PID=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
PORT=$(cat "$WORK/port")

NGINX_PORT=$(free_port_from 20080)
NGINX_CLOSE_PORT=$(free_port_from $((NGINX_PORT + 1)))
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user root;"
cat >"$WORK/nginx/nginx.conf" <<CONF
$USER_LINE
daemon off;
worker_processes 2;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  default_type text/html;
  types { application/x-shockwave-flash swf; application/octet-stream bin; }
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/cache; }
  server { listen 127.0.0.1:$NGINX_CLOSE_PORT; root $WORK/cache; keepalive_timeout 0; }
}
CONF
nginx -p "$WORK/nginx" -e "$WORK/nginx/logs/error.log" -c "$WORK/nginx/nginx.conf" &
NGINX_PID=$!
wait_for_port "$NGINX_PORT"
wait_for_port "$NGINX_CLOSE_PORT"

# "requests-per-second p99" of one wrk run; warns on non-2xx answers.
run_wrk() {
  local connections=$1 url=$2
  shift 2
  local threads=$((connections < 2 ? 1 : 2))
  wrk -t"$threads" -c"$connections" -d"${SECONDS_PER_RUN}s" --latency "$@" "$url" >"$WORK/wrk.out"
  if grep -q "Non-2xx" "$WORK/wrk.out"; then echo "warning: $(grep Non-2xx "$WORK/wrk.out") from $url" >&2; fi
  echo "$(awk '/^Requests\/sec:/ {print $2}' "$WORK/wrk.out") $(awk '$1 == "99%" {print $2}' "$WORK/wrk.out")"
}

# Peak resident memory (kB) of the server process, and of nginx's workers together.
peak_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
nginx_peak_kb() {
  local total=0
  for pid in $(pgrep -P "$NGINX_PID"); do total=$((total + $(peak_kb "$pid"))); done
  echo "$total"
}
fetch_large_8x() {
  local pids=()
  for _ in $(seq 8); do
    curl -s -o /dev/null -w '%{size_download}\n' "http://127.0.0.1:$1/large.bin" >>"$WORK/sizes" &
    pids+=($!)
  done
  wait "${pids[@]}"
}

echo "machine: $(nproc) cores; $SECONDS_PER_RUN s per wrk run; server port $PORT, nginx ports $NGINX_PORT (keep-alive) $NGINX_CLOSE_PORT (close)"
echo
SERVER_BEFORE=$(peak_kb "$SERVE_PID")
: >"$WORK/sizes"
fetch_large_8x "$PORT"
SERVER_PEAK=$(peak_kb "$SERVE_PID")
NGINX_BEFORE=$(nginx_peak_kb)
fetch_large_8x "$NGINX_PORT"
NGINX_PEAK=$(nginx_peak_kb)
COMPLETE=$(grep -c '^52428800$' "$WORK/sizes" || true)
echo "8 clients fetching a 50 MB file at once ($COMPLETE of 16 fetches complete):"
echo "  server peak RSS: ${SERVER_PEAK} kB (${SERVER_BEFORE} kB before)"
echo "  nginx workers' peak RSS: ${NGINX_PEAK} kB (${NGINX_BEFORE} kB before)"
echo

printf '| %-6s | %5s | %-10s | %12s | %10s | %12s | %10s | %5s |\n' file conns keep-alive "server req/s" "server p99" \
  "nginx req/s" "nginx p99" ratio
printf '|%s|\n' "--------|-------|------------|--------------|------------|--------------|------------|-------"
for file in small.swf medium.swf; do
  label=$([ "$file" = small.swf ] && echo "1 KB" || echo "100 KB")
  for connections in 1 16 64; do
    for keep in yes no; do
      if [ "$keep" = yes ]; then
        read -r s_rps s_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$PORT/$file" -H "Connection: Keep-Alive")"
        read -r n_rps n_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$NGINX_PORT/$file" -H "Connection: Keep-Alive")"
      else
        read -r s_rps s_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$PORT/$file")"
        read -r n_rps n_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$NGINX_CLOSE_PORT/$file")"
      fi
      ratio=$(awk -v s="$s_rps" -v n="$n_rps" 'BEGIN { printf "%.2f", (n > 0 ? s / n : 0) }')
      printf '| %-6s | %5s | %-10s | %12s | %10s | %12s | %10s | %5s |\n' "$label" "$connections" "$keep" "$s_rps" \
        "$s_p99" "$n_rps" "$n_p99" "$ratio"
    done
  done
done
