#!/usr/bin/env bash
# HTTPS benchmark: the orvelle binary (--https-port with a --make-cert pair) side by side with
# nginx (one worker, access log off, the same certificate and key, session cache and tickets
# on), both on 127.0.0.1, serving a 1 KiB file. Full handshakes: ab with a new connection per
# request at concurrency 16 (no keep-alive). Resumed sessions: openssl s_time -reuse (one
# client, one connection at a time, each resuming the first session). Each cell is the median
# of REPEATS runs, the servers taking turns. Installs nginx and ab when missing.
#
# Usage: bench/https_vs_nginx.sh [BUILD_DIR]   (default build/release; orvelle is built there
#        when it is missing)
# Environment: REQUESTS (ab, default 5000), CONCURRENCY (default 16), SECONDS_PER_RUN
#        (s_time, default 5), REPEATS (default 3), PIN (see bench/cpu_pinning.sh).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${1:-$REPO/build/release}
REQUESTS=${REQUESTS:-5000}
CONCURRENCY=${CONCURRENCY:-16}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-5}
REPEATS=${REPEATS:-3}
# shellcheck source=bench/cpu_pinning.sh
. "$REPO/bench/cpu_pinning.sh"
# shellcheck source=bench/server_pair.sh
. "$REPO/bench/server_pair.sh"
ORVELLE=$BUILD_DIR/src/cli/orvelle

log() { echo "https_vs_nginx: $*" >&2; }

missing=()
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
command -v ab >/dev/null || missing+=(apache2-utils)
command -v openssl >/dev/null || missing+=(openssl)
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q "${missing[@]}" >/dev/null ||
    apt-get install -y -q "${missing[@]/nginx-light/nginx}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

if [ ! -x "$ORVELLE" ]; then
  log "building $ORVELLE"
  [ -f "$BUILD_DIR/CMakeCache.txt" ] ||
    cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVELLE_BUILD_GUI=OFF \
      -DORVELLE_BUILD_TESTS=OFF -DORVELLE_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target orvelle >/dev/null
fi

WORK=$(mktemp -d /tmp/orvelle-https-bench.XXXXXX)
NGINX_PID=""
ORVELLE_PID=""
cleanup() {
  stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

HOME_DIR=$WORK/home
mkdir -p "$HOME_DIR/web" "$WORK/nginx"
head -c 1024 /dev/urandom >"$HOME_DIR/web/1k.bin"
"$ORVELLE" --make-cert "$WORK/certs" >/dev/null
# nginx's worker runs as an unprivileged user and must read the file; the key is read by the
# master, as root.
chmod 755 "$WORK" "$HOME_DIR" "$HOME_DIR/web"
chmod 644 "$HOME_DIR/web/1k.bin"

NGINX_PORT=$(free_port)
cat >"$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  types { application/octet-stream bin; }
  client_body_temp_path $WORK/nginx/body;
  ssl_protocols TLSv1.2 TLSv1.3;
  ssl_session_cache shared:SSL:10m;
  ssl_session_tickets on;
  server {
    listen 127.0.0.1:$NGINX_PORT ssl backlog=511;
    ssl_certificate $WORK/certs/cert.pem;
    ssl_certificate_key $WORK/certs/key.pem;
    root $HOME_DIR/web;
  }
}
EOF
"${SERVER_CPU[@]}" "$NGINX" -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" \
  -g 'daemon off;' &
NGINX_PID=$!

printf 'Server port=0\r\nLog to file=no\r\n' >"$HOME_DIR/config.ini"
"${SERVER_CPU[@]}" "$ORVELLE" --home "$HOME_DIR" --port 0 --listen-ip 127.0.0.1 \
  --https-port 0 --cert "$WORK/certs/cert.pem" --key "$WORK/certs/key.pem" >"$WORK/orvelle.log" &
ORVELLE_PID=$!
ORVELLE_PORT=""
for _ in $(seq 100); do
  ORVELLE_PORT=$(sed -n 's/.*Listening for HTTPS connections on 127.0.0.1:\([0-9]*\)\..*/\1/p' \
    "$WORK/orvelle.log")
  [ -n "$ORVELLE_PORT" ] && curl -skf -o /dev/null "https://127.0.0.1:$NGINX_PORT/1k.bin" && break
  sleep 0.1
done
for port in "$NGINX_PORT" "$ORVELLE_PORT"; do
  size=$(curl -skf -o /dev/null -w '%{size_download}' "https://127.0.0.1:$port/1k.bin")
  [ "$size" = 1024 ] || { log "server on port $port does not serve the file"; exit 1; }
done

# Full handshakes per second: a new connection (and session) per request.
full() {
  local out
  out=$("${CLIENT_CPU[@]}" ab -q -n "$REQUESTS" -c "$CONCURRENCY" "https://127.0.0.1:$1/1k.bin" 2>&1)
  if ! grep -q '^Failed requests: *0$' <<<"$out"; then log "ab reported failures"; fi
  awk '/^Requests per second:/{print $4}' <<<"$out"
}

# Resumed sessions per second: s_time's "connections per user second" over wall time is not
# what we want, so its count of connections is divided by the run's seconds.
resumed() {
  local out
  out=$("${CLIENT_CPU[@]}" openssl s_time -connect "127.0.0.1:$1" -www /1k.bin -reuse \
    -time "$SECONDS_PER_RUN" 2>&1)
  grep -q 'reuse' <<<"$out" || log "s_time: $(tail -1 <<<"$out")"
  awk -v s="$SECONDS_PER_RUN" '/connections in [0-9]+ real seconds/ {print $1 / s}' <<<"$out" |
    tail -1
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

if [ ${#SERVER_CPU[@]} -gt 0 ]; then log "servers on CPU 1, client on CPU 0 (PIN=0 to turn off)"; fi
printf '%-24s %12s %12s %7s   %s\n' "1 KiB over HTTPS" nginx orvelle ratio "(runs: nginx | orvelle)"
for kind in full resumed; do
  n_runs="" o_runs=""
  for _ in $(seq "$REPEATS"); do
    n_runs+="$($kind "$NGINX_PORT") "
    o_runs+="$($kind "$ORVELLE_PORT") "
  done
  n=$(median <<<"$n_runs")
  o=$(median <<<"$o_runs")
  label="full handshake c=$CONCURRENCY"
  [ "$kind" = resumed ] && label="resumed session c=1"
  printf '%-24s %8.0f r/s %8.0f r/s %7.2f   (%s| %s)\n' "$label" "$n" "$o" \
    "$(awk -v a="$o" -v b="$n" 'BEGIN {print a / b}')" "$n_runs" "$o_runs"
done
