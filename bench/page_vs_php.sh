#!/usr/bin/env bash
# Serves the script-page workload page.ovs with orvelle and its twin page.php with PHP's built-in
# server (one process), side by side in one run, a new connection per request, at each
# concurrency of CONCURRENCY. The client (orvelle_page_client, built beside the binary) checks
# every answer; only complete pages count. Prints pages per second for each server, the ratio
# orvelle / PHP (median of the rounds' ratios) and, for Orvelle, the other answers per second:
# the busy page, which a script request gets while another one's run holds the script slot.
# Targets: ratio >= 1.2 at concurrency 1, >= 1.5 at concurrency 16.
#   bench/page_vs_php.sh [orvelle-binary] [workload-dir]
# Environment: ROUNDS (default 5), SECONDS_PER_RUN (default 3), CONCURRENCY (default "1 16"),
#   BEFORE (another orvelle binary, e.g. a build of main, measured in the same rounds),
#   CLIENT (default: orvelle_page_client beside the binary's build, built when missing),
#   PIN (default 1: with two or more CPUs all servers run on CPU 1 and the client on CPU 0, so
#   the client does not take time from the server it measures; PIN=0 lets the scheduler place
#   everything).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
dir="${2:-$here/../shared/workloads}"
rounds=${ROUNDS:-5}
seconds=${SECONDS_PER_RUN:-3}
concurrency=${CONCURRENCY:-"1 16"}
before=${BEFORE:-}
build_dir="$(cd "$(dirname "$orvelle")/../.." && pwd)"
client=${CLIENT:-$build_dir/bench/orvelle_page_client}
# shellcheck source=bench/cpu_pinning.sh
. "$here/bench/cpu_pinning.sh"

if ! command -v php >/dev/null; then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends php-cli >/dev/null
fi
if [ ! -x "$client" ]; then
  cmake --build "$build_dir" -j2 --target orvelle_page_client >/dev/null
fi

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Starts an orvelle binary on its own home with the workload page and adds its name and port to
# `names` and `ports`. Not run in a subshell: its process id must reach `pids` for the clean-up.
names=()
ports=()
start_orvelle() {
  local name=$1 binary=$2
  mkdir -p "$work/$name/web"
  cp "$dir/page.ovs" "$work/$name/web/page.ovs"
  printf 'Server port=0\r\n' >"$work/$name/config.ini"
  "${SERVER_CPU[@]}" "$binary" --home "$work/$name" --port 0 --bind 127.0.0.1 \
    >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q 'Listening for HTTP connections' "$work/$name.log" 2>/dev/null && break
    sleep 0.1
  done
  local port
  port=$(grep -o 'Listening for HTTP connections on 127.0.0.1:[0-9]*' "$work/$name.log" |
    sed 's/.*://')
  [ -n "$port" ] || { echo "$name did not start: $(head -c 300 "$work/$name.log")" >&2; exit 1; }
  names+=("$name")
  ports+=("$port")
}

start_orvelle orvelle "$orvelle"
if [ -n "$before" ]; then start_orvelle before "$before"; fi
mkdir -p "$work/php"
cp "$dir/page.php" "$work/php/page.php"
php_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"${SERVER_CPU[@]}" php -S "127.0.0.1:$php_port" -t "$work/php" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $php_port), timeout=1)" \
    2>/dev/null && break
  sleep 0.1
done

expect="Row 100: square 10000"
# "pages/s other/s" of one run against PORT for PATH at concurrency C.
run() { "${CLIENT_CPU[@]}" "$client" "$1" "$2" "$3" "$seconds" "$expect"; }

echo "load before: $(uptime | sed 's/.*load/load/')"
for c in $concurrency; do
  # The servers take turns, so a slow spell of the machine hits all of them; each round gives
  # a ratio, and the median of those is the result.
  php_runs=""
  declare -A runs=() others=()
  for _ in $(seq "$rounds"); do
    read -r pages _ < <(run "$php_port" /page.php "$c")
    php_runs+="$pages "
    for i in "${!names[@]}"; do
      read -r pages other < <(run "${ports[$i]}" /page.ovs "$c")
      runs[$i]+="$pages "
      others[$i]+="$other "
    done
  done
  for i in "${!names[@]}"; do
    python3 - "${names[$i]}" "$c" "${runs[$i]}" "$php_runs" "${others[$i]}" <<'PY'
import statistics, sys
name, c = sys.argv[1], sys.argv[2]
o = [float(x) for x in sys.argv[3].split()]
p = [float(x) for x in sys.argv[4].split()]
busy = [float(x) for x in sys.argv[5].split()]
target = {"1": 1.2, "16": 1.5}.get(c)
print(f"c={c:>3} {name:8} pages/s {statistics.median(o):8.0f}   php {statistics.median(p):8.0f}   "
      f"ratio {statistics.median(a / b for a, b in zip(o, p)):.2f}"
      + (f" (target >= {target})" if target else "")
      + f"   busy pages/s {statistics.median(busy):.0f}")
print(f"        rounds {name}: {' '.join(f'{x:.0f}' for x in o)} | php: {' '.join(f'{x:.0f}' for x in p)}")
PY
  done
  unset runs others
done
echo "load after: $(uptime | sed 's/.*load/load/')"
