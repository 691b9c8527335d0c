#!/usr/bin/env bash
# Serves the script-page workload page.ovs with orvelle and its twin page.php with PHP's built-in
# server (one process), side by side in one run: concurrency 1, a new connection per request.
# Prints requests per second for both and the ratio orvelle / PHP.
#   bench/page_vs_php.sh [orvelle-binary] [workload-dir] [requests]
# Environment: ROUNDS (default 7; the median of the rounds' ratios counts), PIN (default 1: with two or more
#   CPUs both servers run on CPU 1 and the client on CPU 0, so the client does not take time
#   from the server it measures; PIN=0 lets the scheduler place everything).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
dir="${2:-$here/../shared/workloads}"
requests="${3:-2000}"
rounds=${ROUNDS:-7}
# shellcheck source=bench/cpu_pinning.sh
. "$here/bench/cpu_pinning.sh"

if ! command -v php >/dev/null; then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get install -y -qq --no-install-recommends php-cli >/dev/null
fi

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home/web" "$work/php"
cp "$dir/page.ovs" "$work/home/web/page.ovs"
cp "$dir/page.php" "$work/php/page.php"
printf 'Server port=0\r\n' >"$work/home/config.ini"

"${SERVER_CPU[@]}" "$orvelle" --home "$work/home" --port 0 --listen-ip 127.0.0.1 >"$work/orvelle.log" 2>&1 &
pids+=($!)
php_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"${SERVER_CPU[@]}" php -S "127.0.0.1:$php_port" -t "$work/php" >/dev/null 2>&1 &
pids+=($!)

for _ in $(seq 100); do
  grep -q 'Listening for HTTP connections' "$work/orvelle.log" 2>/dev/null && break
  sleep 0.1
done
orvelle_port=$(grep -o 'Listening for HTTP connections on 127.0.0.1:[0-9]*' "$work/orvelle.log" |
  sed 's/.*://')

# Requests per second of N sequential GETs, each on a new connection, every response checked.
cat >"$work/client.py" <<'PY'
import socket, sys, time
port, path, n = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
request = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode()
def one():
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    if b" 200 " not in data.split(b"\r\n", 1)[0] or b"Row 100: square 10000" not in data:
        sys.exit(f"bad response from port {port}: {data[:200]!r}")
for _ in range(50):
    one()
start = time.perf_counter()
for _ in range(n):
    one()
print(f"{n / (time.perf_counter() - start):.1f}")
PY
for _ in $(seq 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $php_port), timeout=1)" \
    2>/dev/null && break
  sleep 0.1
done

# The two servers take turns, so a slow spell of the machine hits both; each round gives a
# ratio, and the median of those is the result (the best of each side is shown too).
runs_o=""
runs_p=""
for _ in $(seq "$rounds"); do
  runs_o+="$("${CLIENT_CPU[@]}" python3 "$work/client.py" "$orvelle_port" /page.ovs "$requests") "
  runs_p+="$("${CLIENT_CPU[@]}" python3 "$work/client.py" "$php_port" /page.php "$requests") "
done
python3 - "$runs_o" "$runs_p" <<'PY'
import statistics, sys
o = [float(x) for x in sys.argv[1].split()]
p = [float(x) for x in sys.argv[2].split()]
print(f"{'server':8} {'best r/s':>10}   rounds")
print(f"{'orvelle':8} {max(o):10.1f}   {' '.join(f'{x:.0f}' for x in o)}")
print(f"{'php':8} {max(p):10.1f}   {' '.join(f'{x:.0f}' for x in p)}")
print(f"ratio orvelle/php: median of rounds {statistics.median(a / b for a, b in zip(o, p)):.2f}, "
      f"best against best {max(o) / max(p):.2f}")
PY
