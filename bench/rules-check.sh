#!/usr/bin/env bash
# Checks that the benchmark's rule sets do the same work on both servers: for 20 and for 50
# rules, vortane-serve with bench/load/rules/vortane-N.ini and Apache httpd with
# bench/load/rules/apache-N.conf each answer every request of bench/load/probes.txt as that
# file says (status, and Location for redirects). Also fails when the filter reports a line
# of a rule file it could not use. bench/throughput.sh runs it before measuring.
#
#   bench/rules-check.sh        (needs build/vortane-serve; VORTANE_BUILD_DIR to use another)
set -euo pipefail
source "$(dirname "$0")/load/common.sh"

work=$(mktemp -d)
chmod 755 "$work"  # Apache's workers (nobody) read the site under it
trap 'cleanup_servers; rm -rf "$work"' EXIT
[ -x "$serve_bin" ] || fail "$serve_bin is not built"

make_docroot "$work/www"

trim() {
  local text=$1
  text=${text#"${text%%[![:space:]]*}"}
  printf '%s' "${text%"${text##*[![:space:]]}"}"
}

# probe PORT METHOD URL [HEADER...]: prints the answer as probes.txt writes it.
probe() {
  local port=$1 method=$2 url=$3
  shift 3
  local headers=() host="" header
  for header in "$@"; do
    if [[ ${header,,} == host:* ]]; then host=$(trim "${header#*:}"); fi
    headers+=(-H "$header")
  done
  if [ -z "$host" ]; then
    host=example.com
    headers+=(-H "Host: $host")
  fi
  local response status location
  response=$(curl -sg --max-time 5 -o /dev/null -D - -X "$method" "${headers[@]}" \
    "http://127.0.0.1:$port$url" | tr -d '\r') || true
  status=$(printf '%s\n' "$response" | awk 'NR == 1 { print $2 }')
  location=$(printf '%s\n' "$response" | sed -n 's/^[Ll]ocation: *//p')
  location=${location#"http://$host"}
  printf '%s%s' "${status:-none}" "${location:+ $location}"
}

passed=0
failed=0
for rules in 20 50; do
  column=$((rules == 20 ? 1 : 2))
  mkdir -p "$work/vortane-$rules" "$work/apache-$rules"
  cp "$bench_dir/load/rules/vortane-$rules.ini" "$work/vortane-$rules/httpd.ini"
  start_serve "$work/vortane-$rules.log" 1 "" "$work/vortane-$rules" \
    --site "1=127.0.0.1:0:$work/www" --threads 2
  vortane_pid=$serve_pid
  declare -A ports=([vortane]=${serve_ports[0]} [apache]=$(free_port))
  write_apache_conf "$work/apache-$rules" "${ports[apache]}" "$work/www" 4 \
    "$bench_dir/load/rules/apache-$rules.conf"
  start_apache "$work/apache-$rules" "${ports[apache]}"

  while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    IFS='|' read -ra fields <<<"$line"
    read -r method url <<<"$(trim "${fields[0]}")"
    expected=$(trim "${fields[$column]}")
    headers=()
    for field in "${fields[@]:3}"; do headers+=("$(trim "$field")"); done
    for server in vortane apache; do
      got=$(probe "${ports[$server]}" "$method" "$url" "${headers[@]}")
      if [ "$got" = "$expected" ]; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        printf 'FAIL %s, %s rules: %s %s%s: expected "%s", got "%s"\n' "$server" "$rules" \
          "$method" "$url" "${headers[*]:+ (${headers[*]})}" "$expected" "$got"
      fi
    done
  done <"$bench_dir/load/probes.txt"

  # The filter loads the file at the first request; every line of it must have been used.
  report="$work/vortane-$rules/httpd.parse.errors"
  if [ ! -f "$report" ] || [ -s "$report" ]; then
    failed=$((failed + 1))
    printf 'FAIL vortane-%s.ini: the filter did not load it cleanly:\n' "$rules"
    cat "$report" 2>/dev/null || echo "(no parse report)"
  fi
  stop_serve "$vortane_pid"
  stop_apache "$apache_pid"
done

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
