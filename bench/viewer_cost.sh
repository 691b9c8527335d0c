#!/usr/bin/env bash
# CPU the server spends on live-console viewers: the simulated instrument streams about 10 kB/s
# of short lines into the open port, and the server's CPU time over a window is taken with no
# viewer and with N viewers of /.orvelle/events (curl, reading as fast as they can).
#   bench/viewer_cost.sh [orvelle-binary] [simulator-binary] [viewers] [seconds]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
sim="${2:-$here/build/release/tools/serial_simulator/orvelle-serial-sim}"
viewers="${3:-32}"
seconds="${4:-20}"
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/web/term"
cp "$here"/web/term/open.ovs "$work/web/term/"
printf 'Server port=0\r\n' > "$work/config.ini"
# "T=12345" CR LF every millisecond: about 9-10 kB/s.
"$sim" --stream --stream-interval 1 > "$work/sim.out" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device="$(head -n 1 "$work/sim.out")"
"$orvelle" --home "$work" --port 0 > "$work/server.log" 2>&1 &
server=$!
pids+=("$server")
for _ in $(seq 50); do grep -q "Listening for HTTP" "$work/server.log" && break; sleep 0.1; done
port="$(sed -n 's/.*Listening for HTTP connections on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -n 1)"
base="http://127.0.0.1:$port"
curl -s "$base/term/open.ovs?port=$device&baud=115200&data=8&parity=none&stop=1&flow=none" > /dev/null

cpu_ticks() { awk '{print $14 + $15}' "/proc/$server/stat"; }
measure() {
  local before after
  before=$(cpu_ticks)
  sleep "$seconds"
  after=$(cpu_ticks)
  # Clock ticks (1/100 s) over the window, as a share of one core in per cent.
  python3 -c "print(f'{($after - $before) / $seconds:.1f}')"
}
idle=$(measure)
for i in $(seq "$viewers"); do
  curl -sN "$base/.orvelle/events" > "$work/viewer$i.out" &
  pids+=($!)
done
sleep 2
seen_before=$(stat -c %s "$work/viewer1.out")
busy=$(measure)
seen=$(( ($(stat -c %s "$work/viewer1.out") - seen_before) / seconds ))
alive=$(pgrep -c -P $$ curl || true)
printf 'stream ~10 kB/s, %d s windows\n' "$seconds"
printf '  server CPU, no viewer        %5s %% of a core\n' "$idle"
printf '  server CPU, %2d viewers       %5s %% of a core (%s still connected, %d B/s of events each)\n' \
  "$viewers" "$busy" "$alive" "$seen"
python3 -c "print(f'  per viewer                  {($busy - $idle) / $viewers:.2f} % of a core')"
