#!/usr/bin/env bash
# Times `orvelle render` on the reference workloads beside CPython and Lua 5.4 on their twins, in
# one run, start-up subtracted (each side timed at n=0 too). Prints CPU ns per pass and the ratios.
# Needs python3 and lua5.4 (Debian packages of those names); the Lua twins are in
# bench/workloads.
#   bench/compare_workloads.sh [orvelle-binary] [workload-dir] [passes]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
dir="${2:-$here/../shared/workloads}"
passes="${3:-1000000}"
repeats=5

# Best CPU time (user + system) in ns of a command over $repeats runs; CPU time is steadier
# than wall time on a shared machine.
best_ns() {
  local best=
  for _ in $(seq "$repeats"); do
    local cpu
    cpu=$( { /usr/bin/time -f "%U %S" "$@" >/dev/null; } 2>&1 | tail -n 1)
    local d
    d=$(python3 -c "u, s = '$cpu'.split(); print(int((float(u) + float(s)) * 1e9))")
    if [ -z "$best" ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  echo "$best"
}

lua_dir="$here/bench/workloads"
printf '%-6s %14s %14s %8s %14s %8s\n' workload "orvelle ns/pass" "python ns/pass" ratio \
  "lua ns/pass" ratio
for w in loop str call; do
  o_full=$(best_ns "$orvelle" render "$dir/$w.ovs" "n=$passes")
  o_zero=$(best_ns "$orvelle" render "$dir/$w.ovs" "n=0")
  p_full=$(best_ns python3 "$dir/$w.py" "$passes")
  p_zero=$(best_ns python3 "$dir/$w.py" 0)
  o=$(( (o_full - o_zero) / passes ))
  p=$(( (p_full - p_zero) / passes ))
  l_full=$(best_ns lua5.4 "$lua_dir/$w.lua" "$passes")
  l_zero=$(best_ns lua5.4 "$lua_dir/$w.lua" 0)
  l=$(( (l_full - l_zero) / passes ))
  ratio=$(python3 -c "print(f'{$o/$p:.2f}')" 2>/dev/null || echo "?")
  lua_ratio=$(python3 -c "print(f'{$o/$l:.2f}')" 2>/dev/null || echo "?")
  printf '%-6s %14d %14d %8s %14d %8s\n' "$w" "$o" "$p" "$ratio" "$l" "$lua_ratio"
done
