#!/usr/bin/env bash
# Checks the include graph of src/: every folder includes only itself and the folders below it
#   cli, ui -> app -> webfront, netport -> script, http, serial -> base
# and no header or source takes part in an include cycle. Exits 1 with the offending lines.
#   tools/check-layering.sh [source-root]
set -euo pipefail
src="${1:-$(dirname "$0")/../src}"

# The folders each folder may include besides itself.
declare -A allowed=(
  [base]=""
  [script]="base"
  [http]="base"
  [serial]="base"
  [netport]="serial base"
  [webfront]="script http serial base"
  [app]="webfront netport script http serial base"
  [cli]="app webfront netport script http serial base"
  [ui]="app webfront netport script http serial base"
)

status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

for folder in "$src"/*/; do
  folder=$(basename "$folder")
  if [[ -z "${allowed[$folder]+set}" ]]; then
    echo "check-layering: src/$folder has no place in the layers; add it to this script"
    status=1
    continue
  fi
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"${line#*:*:}")
    [[ -n "$target" ]] || continue
    relative=${file#"$src"/}
    # A bare name is a file beside the includer.
    [[ "$target" == */* ]] || target="$folder/$target"
    echo "$relative $target" >>"$edges"
    used=${target%%/*}
    if [[ "$used" != "$folder" && " ${allowed[$folder]} " != *" $used "* ]]; then
      echo "check-layering: src/$relative includes $target ($folder may not include $used)"
      status=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' \
             "$src/$folder" || true)
done

# tsort names the files of a cycle on stderr and fails.
if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
  echo "check-layering: include cycle:"
  sed 's/^/  /' "$edges.err"
  status=1
fi
rm -f "$edges.err"
[[ $status -eq 0 ]] && echo "check-layering: the include graph of $src follows the layers"
exit $status
