#!/usr/bin/env bash
# Times `orvelle render` on the reference workloads beside CPython and Lua 5.4 on their twins, in
# one run, start-up subtracted (each side timed at n=0 too). Prints CPU ns per pass, the ratios
# and the targets. Given a second binary (e.g. a Release build of main), times it too, each run
# alternating with the first, so a before/after ratio survives a loaded machine.
# Needs python3 and lua5.4 (Debian packages of those names); the Lua twins are in bench/workloads.
#   bench/compare_workloads.sh [orvelle-binary] [workload-dir] [passes-scale] [before-binary]
# passes-scale multiplies each workload's passes (default 1): the loop and call workloads take
# 3,000,000 passes and str 1,000,000, so even Lua's runs last long past the CPU clock's grain.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
orvelle="${1:-$here/build/release/src/cli/orvelle}"
dir="${2:-$here/../shared/workloads}"
scale="${3:-1}"
before="${4:-}"
repeats=5
lua_dir="$here/bench/workloads"

# Targets: CPU time per pass at most this many times CPython's (all three) and Lua's (loop).
python_target=1.0
lua_loop_target=2.5

# Best CPU time (user + system of the child, from getrusage: microsecond grain) in ns of each
# command over $repeats rounds, the commands taking turns within a round. One line per command.
best_ns() {
  python3 - "$repeats" "$@" <<'EOF'
import resource, subprocess, sys
repeats, commands = int(sys.argv[1]), [c.split("\x1f") for c in sys.argv[2:]]
best = [None] * len(commands)
for _ in range(repeats):
    for i, command in enumerate(commands):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        ns = int((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1e9)
        best[i] = ns if best[i] is None or ns < best[i] else best[i]
print("\n".join(str(b) for b in best))
EOF
}

# A command as one argument for best_ns (its words joined by the unit separator).
cmd() {
  local IFS=$'\x1f'
  echo "$*"
}

per_pass() { python3 -c "print(($1 - $2) / $3)"; }
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

uptime
header=$(printf '%-6s %9s %9s %9s %7s %7s' workload orvelle python lua "/py" "/lua")
[ -n "$before" ] && header="$header $(printf '%9s %8s' before after/bef)"
echo "$header   (CPU ns per pass)"
for w in loop str call; do
  passes=$((3000000 * scale))
  [ "$w" = str ] && passes=$((1000000 * scale))
  commands=(
    "$(cmd "$orvelle" render "$dir/$w.ovs" "n=$passes")" "$(cmd "$orvelle" render "$dir/$w.ovs" n=0)"
    "$(cmd python3 "$dir/$w.py" "$passes")" "$(cmd python3 "$dir/$w.py" 0)"
    "$(cmd lua5.4 "$lua_dir/$w.lua" "$passes")" "$(cmd lua5.4 "$lua_dir/$w.lua" 0)"
  )
  if [ -n "$before" ]; then
    commands+=("$(cmd "$before" render "$dir/$w.ovs" "n=$passes")"
      "$(cmd "$before" render "$dir/$w.ovs" n=0)")
  fi
  mapfile -t t < <(best_ns "${commands[@]}")
  o=$(per_pass "${t[0]}" "${t[1]}" "$passes")
  p=$(per_pass "${t[2]}" "${t[3]}" "$passes")
  l=$(per_pass "${t[4]}" "${t[5]}" "$passes")
  line=$(printf '%-6s %9.1f %9.1f %9.1f %7s %7s' "$w" "$o" "$p" "$l" "$(ratio "$o" "$p")" \
    "$(ratio "$o" "$l")")
  if [ -n "$before" ]; then
    b=$(per_pass "${t[6]}" "${t[7]}" "$passes")
    line="$line $(printf '%9.1f %8s' "$b" "$(ratio "$o" "$b")")"
  fi
  echo "$line"
done
echo "targets: each workload /py <= $python_target; loop /lua <= $lua_loop_target"
