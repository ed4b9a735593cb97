#!/usr/bin/env bash
# The resource server against nginx serving the same cached files, measured
# with wrk: requests per second and p99 latency for a 1 KB and a 100 KB file
# at 1, 16 and 64 connections, once with "Connection: Keep-Alive" and once
# with "Connection: close" (a new connection per request, which is what the
# movie's web engine gets, since it spells the header in lower case); then
# the peak resident memory of each while 8 clients read a 50 MB file and
# while 8 and 20 clients ask for it and read nothing. Everything stays on
# 127.0.0.1.
#
#   bench/server/http_bench.sh [seconds per run, default 5]   (after the normal build)
set -euo pipefail
cd "$(dirname "$0")/../.."
SECONDS_PER_RUN=${1:-5}
# How long the non-reading clients hold their connections before the peak is read.
HOLD_SECONDS=3
SERVE=$PWD/build/bin/http_serve
[ -x "$SERVE" ] || { echo "build first: $SERVE is missing" >&2; exit 1; }

WORK=$(mktemp -d /tmp/tessel-http-bench-XXXXXX)
SERVE_PID=
NGINX_PID=
stop_serve() {
  if [ -n "$SERVE_PID" ]; then kill "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; fi
  SERVE_PID=
}
cleanup() {
  stop_serve
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

# A fresh server, so each memory figure is its own peak: its run log in the
# work directory; every file is cached, so the site it would fetch from is
# never reached.
start_serve() {
  rm -f "$WORK/port"
  WINDIR=$WORK/log QUILLBY_BASE_URL=http://127.0.0.1:9/ "$SERVE" "$WORK/cache" 19898 >"$WORK/port" &
  SERVE_PID=$!
  for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
  PORT=$(cat "$WORK/port")
}

NGINX_PORT=$(free_port_from 20080)
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
}
CONF
nginx -p "$WORK/nginx" -e "$WORK/nginx/logs/error.log" -c "$WORK/nginx/nginx.conf" &
NGINX_PID=$!
wait_for_port "$NGINX_PORT"

# "requests-per-second p99" of one wrk run; warns on non-2xx answers.
run_wrk() {
  local connections=$1 url=$2
  shift 2
  local threads=$((connections < 2 ? 1 : 2))
  wrk -t"$threads" -c"$connections" -d"${SECONDS_PER_RUN}s" --latency "$@" "$url" >"$WORK/wrk.out"
  if grep -q "Non-2xx" "$WORK/wrk.out"; then echo "warning: $(grep Non-2xx "$WORK/wrk.out") from $url" >&2; fi
  if grep -q "Socket errors" "$WORK/wrk.out"; then echo "warning: $(grep 'Socket errors' "$WORK/wrk.out") from $url" >&2; fi
  echo "$(awk '/^Requests\/sec:/ {print $2}' "$WORK/wrk.out") $(awk '$1 == "99%" {print $2}' "$WORK/wrk.out")"
}

# Peak resident memory (kB) of the server process, and of nginx's workers together.
peak_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
nginx_peak_kb() {
  local total=0
  for pid in $(pgrep -P "$NGINX_PID"); do total=$((total + $(peak_kb "$pid"))); done
  echo "$total"
}
fetch_large() {
  local count=$1 port=$2 pids=()
  for _ in $(seq "$count"); do
    curl -s -o /dev/null -w '%{size_download}\n' "http://127.0.0.1:$port/large.bin" >>"$WORK/sizes" &
    pids+=($!)
  done
  wait "${pids[@]}"
}
# count connections ask for the large file and read nothing for a while.
hold_large() {
  local count=$1 port=$2 fds=() fd
  for _ in $(seq "$count"); do
    exec {fd}<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET /large.bin HTTP/1.0\r\n\r\n' >&"$fd"
    fds+=("$fd")
  done
  sleep "$HOLD_SECONDS"
  for fd in "${fds[@]}"; do exec {fd}>&-; done
}

echo "machine: $(nproc) cores; $SECONDS_PER_RUN s per wrk run; nginx port $NGINX_PORT"
echo
echo "Peak RSS with a 50 MB file (a fresh server for each row; nginx workers' peak so far):"
echo
printf '| %-34s | %16s | %16s | %10s |\n' clients "server peak kB" "nginx peak kB" complete
printf '|%s|\n' "------------------------------------|------------------|------------------|------------"
for scenario in "8 read" "8 hold" "20 hold"; do
  read -r count how <<<"$scenario"
  start_serve
  : >"$WORK/sizes"
  if [ "$how" = read ]; then
    fetch_large "$count" "$PORT"
    SERVER_PEAK=$(peak_kb "$SERVE_PID")
    fetch_large "$count" "$NGINX_PORT"
    NGINX_PEAK=$(nginx_peak_kb)
    COMPLETE="$(grep -c '^52428800$' "$WORK/sizes" || true) of $((2 * count))"
    label="$count clients reading it whole"
  else
    hold_large "$count" "$PORT"
    SERVER_PEAK=$(peak_kb "$SERVE_PID")
    hold_large "$count" "$NGINX_PORT"
    NGINX_PEAK=$(nginx_peak_kb)
    COMPLETE="-"
    label="$count clients asking, reading nothing"
  fi
  stop_serve
  printf '| %-34s | %16s | %16s | %10s |\n' "$label" "$SERVER_PEAK" "$NGINX_PEAK" "$COMPLETE"
done

start_serve
for keep in Keep-Alive close; do
  echo
  echo "Connection: $keep (server port $PORT):"
  echo
  printf '| %-6s | %5s | %12s | %10s | %12s | %10s | %5s |\n' file conns "server req/s" "server p99" "nginx req/s" \
    "nginx p99" ratio
  printf '|%s|\n' "--------|-------|--------------|------------|--------------|------------|-------"
  for file in small.swf medium.swf; do
    label=$([ "$file" = small.swf ] && echo "1 KB" || echo "100 KB")
    for connections in 1 16 64; do
      read -r s_rps s_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$PORT/$file" -H "Connection: $keep")"
      read -r n_rps n_p99 <<<"$(run_wrk "$connections" "http://127.0.0.1:$NGINX_PORT/$file" -H "Connection: $keep")"
      ratio=$(awk -v s="$s_rps" -v n="$n_rps" 'BEGIN { printf "%.2f", (n > 0 ? s / n : 0) }')
      printf '| %-6s | %5s | %12s | %10s | %12s | %10s | %5s |\n' "$label" "$connections" "$s_rps" "$s_p99" \
        "$n_rps" "$n_p99" "$ratio"
    done
  done
done
