#!/usr/bin/env bash
# Checks that the benchmark's rule sets do the same work on both servers: for 20 and for 50
# rules, vortane-serve with bench/load/rules/vortane-N.ini and Apache httpd with
# bench/load/rules/apache-N.conf each answer every request of bench/load/probes.txt as that
# file says (status, and Location for redirects). For 1,000 rules (the 50 and 950 legacy
# redirects, rule_file in load/common.sh) each answers the probes as with 50 rules, and
# retired addresses from the first, a middle and the last redirect as redirects to their new
# ones. Also fails when the filter reports a line of a rule file it could not use.
# bench/throughput.sh runs it before measuring.
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

# legacy_probes: probes.txt lines for the legacy redirects of the 1,000-rule files: the
# retired address of the first, a middle and the last one, as sent, with a query, in capitals;
# and one that no redirect names.
legacy_probes() {
  local n
  for n in 1 475 950; do
    legacy_redirect "$n"
    printf 'GET %s | | 302 %s\n' "$legacy_old" "$legacy_new"
    printf 'GET %s?from=mail | | 302 %s?from=mail\n' "$legacy_old" "$legacy_new"
    printf 'GET %s | | 302 %s\n' "${legacy_old^^}" "$legacy_new"
  done
  printf 'GET /catalog/item-951.aspx | | 404\n'
}

passed=0
failed=0
for rules in 20 50 1000; do
  column=$((rules == 20 ? 1 : 2))
  mkdir -p "$work/vortane-$rules" "$work/apache-$rules"
  rule_file "$rules" vortane >"$work/vortane-$rules/httpd.ini"
  rule_file "$rules" apache >"$work/apache-$rules/rules.conf"
  start_serve "$work/vortane-$rules.log" 1 "" "$work/vortane-$rules" \
    --site "1=127.0.0.1:0:$work/www" --threads 2
  vortane_pid=$serve_pid
  declare -A ports=([vortane]=${serve_ports[0]} [apache]=$(free_port))
  write_apache_conf "$work/apache-$rules" "${ports[apache]}" "$work/www" 4 \
    "$work/apache-$rules/rules.conf"
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
  done < <(cat "$bench_dir/load/probes.txt"; [ "$rules" -gt 50 ] && legacy_probes)

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
