#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own. The product's layers,
# lowest first: base, platform, regex, rules, config, store, filter. Beside them, the in-memory
# server (memory_server/) sees only platform/, the HTTP host (host/) platform/ and the
# in-memory server. The tools (tools/) are one folder per tool, each a layer of its own:
# runner (what every tool shares) -> test_runner -> compare; check sees the configuration
# layer and nothing of the filter; the programs try, serve and match see what they run. A
# program's main file (tools/*/vortane_*.cpp) may also include any tool's headers. Tests,
# benchmarks and fuzz targets may include anything.
# usage: check_layers.sh [SOURCE-ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# What each folder may include, besides itself.
declare -A allowed=(
  [base]=""
  [platform]="base"
  [regex]="base platform"
  [rules]="base platform regex"
  [config]="base platform regex rules"
  [store]="base platform regex rules config"
  [filter]="base platform regex rules config store"
  [memory_server]="base platform"
  [host]="base platform memory_server"
  [tools/runner]="base platform regex rules config store filter memory_server"
  [tools/test_runner]="base platform regex rules config store filter memory_server tools/runner"
  [tools/compare]="base platform regex rules config store filter memory_server tools/runner tools/test_runner"
  [tools/check]="base platform regex rules config"
  [tools/try]="base platform regex rules config store filter memory_server tools/runner"
  [tools/serve]="base platform regex rules config store filter memory_server host tools/runner"
  [tools/match]="base platform regex"
)
known=" ${!allowed[*]} "

violations=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line header; do
    target=${header%%/*}
    if [ "$target" = tools ]; then  # a tool's folder: tools/NAME
      rest=${header#tools/}
      target=tools/${rest%%/*}
      [[ $file == tools/*/vortane_*.cpp ]] && continue  # a program's main file
    fi
    [[ $known == *" $target "* ]] || continue  # not one of ours (a system or Boost header)
    [ "$target" = "$folder" ] && continue
    [[ " ${allowed[$folder]} " == *" $target "* ]] && continue
    printf '%s:%s: includes %s, a layer %s may not reach\n' "$file" "$line" "$header" "$folder"
    violations=$((violations + 1))
  done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' \
             --include='*.h' --include='*.cpp' "$folder" |
           sed -E 's/^([^:]+):([0-9]+):.*"([^"]+)"$/\1:\2:\3/')
done
# Every tool has its folder: a source file directly in tools/ belongs to no layer.
while read -r file; do
  printf '%s: a source file outside the folder of a tool\n' "$file"
  violations=$((violations + 1))
done < <(find tools -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null)
# A tool's folder without a line above is checked by nothing.
while read -r dir; do
  [ -n "${allowed[$dir]+set}" ] && continue
  printf '%s: a tool folder that this script does not know\n' "$dir"
  violations=$((violations + 1))
done < <(find tools -mindepth 1 -maxdepth 1 -type d 2>/dev/null)
if [ "$violations" -gt 0 ]; then
  echo "$violations include(s) reach upward"
  exit 1
fi
echo "layers: no include reaches upward"
