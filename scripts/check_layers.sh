#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own. The product's layers,
# lowest first: base, platform, regex, rules, config, store, filter. Beside them, the in-memory
# server (memory_server/) sees only platform/, the HTTP host (host/) platform/ and the
# in-memory server, and the tools (tools/) everything. Tests, benchmarks and fuzz targets
# may include anything.
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
  [tools]="base platform regex rules config store filter memory_server host"
)
known=" ${!allowed[*]} "

violations=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line header; do
    target=${header%%/*}
    [[ $known == *" $target "* ]] || continue  # not one of ours (a system or Boost header)
    [ "$target" = "$folder" ] && continue
    [[ " ${allowed[$folder]} " == *" $target "* ]] && continue
    printf '%s:%s: includes %s, a layer %s may not reach\n' "$file" "$line" "$header" "$folder"
    violations=$((violations + 1))
  done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' \
             --include='*.h' --include='*.cpp' "$folder" |
           sed -E 's/^([^:]+):([0-9]+):.*"([^"]+)"$/\1:\2:\3/')
done
if [ "$violations" -gt 0 ]; then
  echo "$violations include(s) reach upward"
  exit 1
fi
echo "layers: no include reaches upward"
