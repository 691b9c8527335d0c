#!/usr/bin/env bash
# Times `orvelle render` on the reference workloads beside CPython on their twins, in one run,
# start-up subtracted (each side timed at n=0 too). Prints ns per pass and the ratio.
#   bench/compare_workloads.sh [orvelle-binary] [workload-dir] [passes]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
dir="${2:-$here/../shared/workloads}"
passes="${3:-1000000}"
repeats=5

# Best wall time in ns of a command over $repeats runs.
best_ns() {
  local best=
  for _ in $(seq "$repeats"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    local d=$((t1 - t0))
    if [ -z "$best" ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  echo "$best"
}

printf '%-6s %14s %14s %8s\n' workload "orvelle ns/pass" "python ns/pass" ratio
for w in loop str call; do
  o_full=$(best_ns "$orvelle" render "$dir/$w.ovs" "n=$passes")
  o_zero=$(best_ns "$orvelle" render "$dir/$w.ovs" "n=0")
  p_full=$(best_ns python3 "$dir/$w.py" "$passes")
  p_zero=$(best_ns python3 "$dir/$w.py" 0)
  o=$(( (o_full - o_zero) / passes ))
  p=$(( (p_full - p_zero) / passes ))
  ratio=$(python3 -c "print(f'{$o/$p:.2f}')" 2>/dev/null || echo "?")
  printf '%-6s %14d %14d %8s\n' "$w" "$o" "$p" "$ratio"
done
