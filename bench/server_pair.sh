# Sourced by the benches that run Orvelle beside nginx: a free port, and the stop of the two
# servers the script started (by the ids it keeps in NGINX_PID and ORVELLE_PID).

# A port of 127.0.0.1 nothing listens on now.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 10000))
    ss -Hltn "sport = :$port" | grep -q . || { echo "$port"; return; }
  done
}

# Only the two servers this script started, by their ids.
stop_servers() {
  if [ -n "${NGINX_PID:-}" ]; then kill -QUIT "$NGINX_PID" 2>/dev/null || true; fi
  if [ -n "${ORVELLE_PID:-}" ]; then kill -TERM "$ORVELLE_PID" 2>/dev/null || true; fi
  if [ -n "${NGINX_PID:-}" ]; then wait "$NGINX_PID" 2>/dev/null || true; fi
  if [ -n "${ORVELLE_PID:-}" ]; then wait "$ORVELLE_PID" 2>/dev/null || true; fi
}
