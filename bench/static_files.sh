#!/usr/bin/env bash
# Static-file benchmark: Orvelle side by side with nginx (one worker, access log off) on the
# same 1 KiB, 64 KiB and 200 MiB files, all on 127.0.0.1. Small files: requests per second
# with a new connection per request at concurrency 1, 16 and 64; the 200 MiB file: MiB/s of
# one download. Each cell is the median of REPEATS runs, the servers taking turns, and each
# Orvelle column is followed by its ratio to nginx.
# Targets: 1 KiB at c = 1, 16 and 64 >= 1.00 of nginx for the real `orvelle` binary.
#
# Usage: bench/static_files.sh [BUILD_DIR]   (default build/release; what is missing is built)
# Environment: SERVERS (default "bench orvelle"): the Orvelle servers measured beside nginx:
#        bench   - orvelle_static_bench_server (THTTPServer + SendFile, nothing else),
#        orvelle - the real binary serving the files from its web folder (request log, path
#                  rules, dispatcher: what a user gets),
#        NAME=PATH - another `orvelle` (or orvelle_static_bench_server) binary under that name,
#                  e.g. before=/tmp/main-orvelle to compare a change with its base in one run.
#        CLIENT=wrk|ab (default wrk, with "Connection: close"), SECONDS_PER_RUN (wrk,
#        default 5), REQUESTS (ab, default 20000), REPEATS (default 3), BIG_REPEATS (default 5),
#        CONCURRENCY (default "1 16 64"), BIG (default 1; 0 skips the 200 MiB file),
#        PIN (default 1: with two or more CPUs, all servers run on CPU 1 and the client on
#        CPU 0, so the client and the server under test do not take time from each other and
#        the comparison is of the servers; PIN=0 lets the scheduler place everything).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${1:-$REPO/build/release}
CLIENT=${CLIENT:-wrk}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-5}
REQUESTS=${REQUESTS:-20000}
REPEATS=${REPEATS:-3}
BIG_REPEATS=${BIG_REPEATS:-5}
CONCURRENCY=${CONCURRENCY:-"1 16 64"}
SERVERS=${SERVERS:-"bench orvelle"}
BIG=${BIG:-1}
# shellcheck source=bench/cpu_pinning.sh
. "$REPO/bench/cpu_pinning.sh"
# shellcheck source=bench/server_pair.sh
. "$REPO/bench/server_pair.sh"
BENCH_SERVER=$BUILD_DIR/bench/orvelle_static_bench_server
ORVELLE=$BUILD_DIR/src/cli/orvelle

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

targets=()
for server in $SERVERS; do
  case $server in
    bench) [ -x "$BENCH_SERVER" ] || targets+=(orvelle_static_bench_server) ;;
    orvelle) [ -x "$ORVELLE" ] || targets+=(orvelle) ;;
  esac
done
if [ ${#targets[@]} -gt 0 ]; then
  log "building ${targets[*]} in $BUILD_DIR"
  [ -f "$BUILD_DIR/CMakeCache.txt" ] ||
    cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}" >/dev/null
fi

# --- files and servers -----------------------------------------------------------------------
WORK=$(mktemp -d /tmp/orvelle-static-bench.XXXXXX)
NGINX_PID=""
ORVELLE_PID=""
ORVELLE_PIDS=()
cleanup() {
  stop_servers
  for pid in "${ORVELLE_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${ORVELLE_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
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

# Each Orvelle server in its own process on a port of its own; NAMES and PORTS line up.
NAMES=()
PORTS=()
start_orvelle() {
  local name=$1 binary=$2 out=$WORK/$1.out
  if [ "$binary" = bench ] || [ "$(basename "$binary")" = orvelle_static_bench_server ]; then
    [ "$binary" = bench ] && binary=$BENCH_SERVER
    "${SERVER_CPU[@]}" "$binary" --root "$ROOT" --port 0 >"$out" &
  else
    # The real binary serves its home's web folder: the same files, through the dispatcher.
    mkdir -p "$WORK/home-$name"
    ln -sfn "$ROOT" "$WORK/home-$name/web"
    printf 'Server port=0\r\n' >"$WORK/home-$name/config.ini"
    "${SERVER_CPU[@]}" "$binary" --home "$WORK/home-$name" --port 0 --bind 127.0.0.1 >"$out" 2>&1 &
  fi
  ORVELLE_PIDS+=($!)
  local port=""
  for _ in $(seq 100); do
    port=$(grep -o '^port [0-9]*\|Listening for HTTP connections on 127.0.0.1:[0-9]*' "$out" |
      grep -o '[0-9]*$' || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { log "$name did not start: $(head -c 300 "$out")"; exit 1; }
  NAMES+=("$name")
  PORTS+=("$port")
}
for server in $SERVERS; do
  case $server in
    bench) start_orvelle bench bench ;;
    orvelle) start_orvelle orvelle "$ORVELLE" ;;
    *=*) start_orvelle "${server%%=*}" "${server#*=}" ;;
    *) log "unknown server $server"; exit 2 ;;
  esac
done
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/1k.bin" && break
  sleep 0.1
done
for port in "$NGINX_PORT" "${PORTS[@]}"; do
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

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

if [ ${#SERVER_CPU[@]} -gt 0 ]; then log "servers on CPU 1, client on CPU 0 (PIN=0 to turn off)"; fi
log "load before: $(uptime | sed 's/.*load/load/')"
header=$(printf '%-9s %4s %10s' file c nginx)
for name in "${NAMES[@]}"; do header+=$(printf ' %10s %5s' "$name" ratio); done
echo "$header   (runs: nginx | ${NAMES[*]})"
# One table row: REPEATS rounds of MEASURE PORT ARGS... on nginx and on each server in turn,
# the medians printed with FORMAT and each server's ratio to nginx.
row() {
  local repeats=$1 label=$2 format=$3 measure=$4
  shift 4
  local n_runs="" n line detail o i
  local -a runs=()
  for _ in $(seq "$repeats"); do
    n_runs+="$("$measure" "$NGINX_PORT" "$@") "
    for i in "${!NAMES[@]}"; do runs[i]+="$("$measure" "${PORTS[$i]}" "$@") "; done
  done
  n=$(median <<<"$n_runs")
  # shellcheck disable=SC2059  # the figure's format is the caller's
  line="$label$(printf " $format" "$n")"
  detail="$n_runs"
  for i in "${!NAMES[@]}"; do
    o=$(median <<<"${runs[$i]}")
    # shellcheck disable=SC2059
    line+=$(printf " $format %5s" "$o" "$(ratio "$o" "$n")")
    detail+="| ${runs[$i]}"
  done
  echo "$line   ($detail)"
}

for file in 1k.bin 64k.bin; do
  for c in $CONCURRENCY; do
    row "$REPEATS" "$(printf '%-9s %4s' "$file" "$c")" '%10.0f' rps "$file" "$c"
  done
done

if [ "$BIG" = 1 ]; then
  cat "$ROOT/200m.bin" >/dev/null  # every server reads it from the page cache
  row "$BIG_REPEATS" "$(printf '%-9s %4s' 200m.bin 1)" '%6.0f MiB/s' mibps 200m.bin
fi
log "load after: $(uptime | sed 's/.*load/load/')"
