#!/usr/bin/env bash
# Static-file benchmark: orvelle_static_bench_server (THTTPServer + SendFile) side by side with
# nginx (one worker, access log off) on the same 1 KiB, 64 KiB and 200 MiB files, all on
# 127.0.0.1. Small files: requests per second with a new connection per request at
# concurrency 1, 16 and 64; the 200 MiB file: MiB/s of one download. Each cell is the median
# of REPEATS runs, the two servers taking turns. Installs nginx, ab and wrk when missing.
#
# Usage: bench/static_files.sh [BUILD_DIR]   (default build/release; the server is built there
#        when it is missing)
# Environment: CLIENT=wrk|ab (default wrk, with "Connection: close"), SECONDS_PER_RUN (wrk,
#        default 5), REQUESTS (ab, default 20000), REPEATS (default 3), BIG_REPEATS (default 5),
#        CONCURRENCY (default "1 16 64"), PIN (default 1: with two or more CPUs, both servers
#        run on CPU 1 and the client on CPU 0, so the client and the server under test do not
#        take time from each other and the comparison is of the servers; PIN=0 lets the
#        scheduler place everything).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${1:-$REPO/build/release}
CLIENT=${CLIENT:-wrk}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-5}
REQUESTS=${REQUESTS:-20000}
REPEATS=${REPEATS:-3}
BIG_REPEATS=${BIG_REPEATS:-5}
CONCURRENCY=${CONCURRENCY:-"1 16 64"}
# shellcheck source=bench/cpu_pinning.sh
. "$REPO/bench/cpu_pinning.sh"
# shellcheck source=bench/server_pair.sh
. "$REPO/bench/server_pair.sh"
SERVER=$BUILD_DIR/bench/orvelle_static_bench_server

log() { echo "static_files: $*" >&2; }

# --- tools -----------------------------------------------------------------------------------
missing=()
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
command -v ab >/dev/null || missing+=(apache2-utils)
command -v wrk >/dev/null || missing+=(wrk)
command -v curl >/dev/null || missing+=(curl)
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  if ! apt-get install -y -q "${missing[@]}" >/dev/null; then
    # Some releases ship only the full nginx package.
    apt-get install -y -q "${missing[@]/nginx-light/nginx}" >/dev/null
  fi
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

if [ ! -x "$SERVER" ]; then
  log "building $SERVER"
  [ -f "$BUILD_DIR/CMakeCache.txt" ] ||
    cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target orvelle_static_bench_server >/dev/null
fi

# --- files and servers -----------------------------------------------------------------------
WORK=$(mktemp -d /tmp/orvelle-static-bench.XXXXXX)
NGINX_PID=""
ORVELLE_PID=""
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ROOT=$WORK/root
mkdir -p "$ROOT" "$WORK/nginx"
head -c 1024 /dev/urandom >"$ROOT/1k.bin"
head -c $((64 * 1024)) /dev/urandom >"$ROOT/64k.bin"
head -c $((200 * 1024 * 1024)) /dev/urandom >"$ROOT/200m.bin"
# nginx's worker runs as an unprivileged user and must read the files.
chmod 755 "$WORK" "$ROOT"
chmod 644 "$ROOT"/*

NGINX_PORT=$(free_port)
cat >"$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  types { application/octet-stream bin; }
  client_body_temp_path $WORK/nginx/body;
  server {
    listen 127.0.0.1:$NGINX_PORT backlog=511;
    root $ROOT;
  }
}
EOF
"${SERVER_CPU[@]}" "$NGINX" -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" \
  -g 'daemon off;' &
NGINX_PID=$!

"${SERVER_CPU[@]}" "$SERVER" --root "$ROOT" --port 0 >"$WORK/orvelle.port" &
ORVELLE_PID=$!
for _ in $(seq 100); do
  grep -q '^port ' "$WORK/orvelle.port" && curl -sf -o /dev/null \
    "http://127.0.0.1:$NGINX_PORT/1k.bin" && break
  sleep 0.1
done
ORVELLE_PORT=$(awk '/^port /{print $2}' "$WORK/orvelle.port")
for port in "$NGINX_PORT" "$ORVELLE_PORT"; do
  size=$(curl -sf -o /dev/null -w '%{size_download}' "http://127.0.0.1:$port/64k.bin")
  [ "$size" = 65536 ] || { log "server on port $port does not serve the files"; exit 1; }
done

# --- measuring -------------------------------------------------------------------------------
# Requests per second of one run against PORT for FILE at concurrency C.
rps() {
  local port=$1 file=$2 c=$3 out
  if [ "$CLIENT" = ab ]; then
    out=$("${CLIENT_CPU[@]}" ab -q -n "$REQUESTS" -c "$c" "http://127.0.0.1:$port/$file" 2>&1)
    if ! grep -q '^Failed requests: *0$' <<<"$out"; then log "ab reported failures"; fi
    awk '/^Requests per second:/{print $4}' <<<"$out"
  else
    out=$("${CLIENT_CPU[@]}" wrk -t1 -c"$c" -d"${SECONDS_PER_RUN}s" -H 'Connection: close' \
      "http://127.0.0.1:$port/$file" 2>&1)
    if grep -q 'Socket errors\|Non-2xx' <<<"$out"; then
      log "wrk: $(grep 'Socket errors\|Non-2xx' <<<"$out" | tr -s ' ')"
    fi
    awk '/^Requests\/sec:/{print $2}' <<<"$out"
  fi
}

# MiB/s of one download of FILE from PORT.
mibps() {
  "${CLIENT_CPU[@]}" curl -sf -o /dev/null -w '%{speed_download}' "http://127.0.0.1:$1/$2" |
    awk '{printf "%.1f", $1 / 1048576}'
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

if [ ${#SERVER_CPU[@]} -gt 0 ]; then log "servers on CPU 1, client on CPU 0 (PIN=0 to turn off)"; fi
printf '%-9s %4s %12s %12s %7s   %s\n' file c nginx orvelle ratio "(runs: nginx | orvelle)"
for file in 1k.bin 64k.bin; do
  for c in $CONCURRENCY; do
    n_runs="" o_runs=""
    for _ in $(seq "$REPEATS"); do
      n_runs+="$(rps "$NGINX_PORT" "$file" "$c") "
      o_runs+="$(rps "$ORVELLE_PORT" "$file" "$c") "
    done
    n=$(median <<<"$n_runs")
    o=$(median <<<"$o_runs")
    printf '%-9s %4s %8.0f r/s %8.0f r/s %7.2f   (%s| %s)\n' "$file" "$c" "$n" "$o" \
      "$(awk -v a="$o" -v b="$n" 'BEGIN {print a / b}')" "$n_runs" "$o_runs"
  done
done

cat "$ROOT/200m.bin" >/dev/null  # both servers read it from the page cache
n_runs="" o_runs=""
for _ in $(seq "$BIG_REPEATS"); do
  n_runs+="$(mibps "$NGINX_PORT" 200m.bin) "
  o_runs+="$(mibps "$ORVELLE_PORT" 200m.bin) "
done
n=$(median <<<"$n_runs")
o=$(median <<<"$o_runs")
printf '%-9s %4s %8.0f MiB/s %6.0f MiB/s %5.2f   (%s| %s)\n' 200m.bin 1 "$n" "$o" \
  "$(awk -v a="$o" -v b="$n" 'BEGIN {print a / b}')" "$n_runs" "$o_runs"
