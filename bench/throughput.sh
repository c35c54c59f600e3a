#!/usr/bin/env bash
# Requests per second of vortane-serve and of Apache httpd 2.4 serving the same 1 KiB page
# on loopback, and what the rules cost per request on each:
#
#   vortane-serve: no filter (--no-filter), the filter with an empty configuration, with the
#                  20 rules of bench/load/rules/vortane-20.ini, with the 50 of vortane-50.ini
#   Apache httpd:  without mod_rewrite, mod_rewrite on with no rules, with the same 20 and 50
#                  rules (apache-20.conf, apache-50.conf)
#
# The server runs on CPU 0 and wrk on CPU 1; both servers get the same number of worker
# threads (one event-MPM process for Apache) and neither keeps an access log, unless
# ACCESS_LOG=1, when both do. The configurations run one after another, alternating between
# the servers, for ROUNDS rounds (every other round in reverse order, so that a drift in the
# machine's load falls on all alike); the table shows each one's median. The cost of rules
# per request is 1/rps(rules) - 1/rps(no rules), in microseconds: for vortane-serve against
# the filter with an empty configuration, for Apache against mod_rewrite with no rules. The
# same difference of the server's CPU time per request (read from /proc) is shown beside it:
# on a shared machine other processes take turns on the server's CPU and lower its
# throughput, but not the CPU time each request takes.
# Before measuring, bench/rules-check.sh shows that both servers' rules act alike.
#
#   bench/throughput.sh
#   ROUNDS=7 DURATION=5 CONNECTIONS=4 THREADS=8 ACCESS_LOG=0 bench/throughput.sh   (defaults)
set -euo pipefail
source "$(dirname "$0")/load/common.sh"

rounds=${ROUNDS:-7}
duration=${DURATION:-5}
connections=${CONNECTIONS:-4}
# Apache's event MPM closes idle keep-alive connections whenever no worker is free, which wrk
# counts as read errors: it needs more workers than there are connections. vortane-serve
# gets the same number of threads.
threads=${THREADS:-8}
access_log=${ACCESS_LOG:-0}
server_cpu=0
client_cpu=1

for tool in wrk curl taskset "$apache_bin"; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/setup.sh installs it)"
done
[ -x "$serve_bin" ] || fail "$serve_bin is not built"
[ "$(nproc)" -ge 2 ] || fail "needs two CPUs: one for the server, one for wrk"

work=$(mktemp -d)
chmod 755 "$work"  # Apache's workers (nobody) read the site under it
trap 'cleanup_servers; rm -rf "$work"' EXIT

printf '=== machine\n'
lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Core\(s\) per socket):' || true
printf 'load at start: %s\n' "$(uptime)"
printf '%s; %s\n' "$("$apache_bin" -v | head -n 1)" "$(wrk --version 2>&1 | head -n 1 | cut -d' ' -f1-2)"
printf '%s rounds of %s s per configuration, %s connections, %s server threads, access log %s\n' \
  "$rounds" "$duration" "$connections" "$threads" "$([ "$access_log" = 1 ] && echo on || echo off)"

printf '\n=== the rules act alike on both servers\n'
bash "$bench_dir/rules-check.sh" | tail -n 3

make_docroot "$work/www"
url_path=/index.html
# A desktop browser's request: the rules' conditions read these headers.
request_headers=(
  "Host: example.com"
  "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"
  "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"
  "Accept-Language: en-US,en;q=0.9"
  "Accept-Encoding: gzip, deflate, br"
  "Referer: https://example.com/"
  "Cookie: session=abc123; theme=dark"
)
header_args=()
for header in "${request_headers[@]}"; do header_args+=(-H "$header"); done

# The order of a round: the servers alternate, and each rule set runs close to its baseline.
configs=(v-empty a-none v-50 a-50 v-20 a-20 v-none a-off)
# The order of the table.
rows=(v-none v-empty v-20 v-50 a-off a-none a-20 a-50)
declare -A label=(
  [v-none]="vortane-serve  no filter"
  [v-empty]="vortane-serve  filter, empty configuration"
  [v-20]="vortane-serve  filter, 20 rules"
  [v-50]="vortane-serve  filter, 50 rules"
  [a-off]="Apache httpd   without mod_rewrite"
  [a-none]="Apache httpd   mod_rewrite, no rules"
  [a-20]="Apache httpd   mod_rewrite, 20 rules"
  [a-50]="Apache httpd   mod_rewrite, 50 rules"
)
declare -A short=([v-none]="no filter" [v-empty]="empty configuration"
  [a-off]="without mod_rewrite" [a-none]="no rules")
declare -A rps=() cpu=()
clock_ticks=$(getconf CLK_TCK)

# Each configuration's own directory: the filter's (global httpd.ini) or Apache's.
for config in "${configs[@]}"; do
  mkdir -p "$work/$config"
  case $config in
    v-none | v-empty) printf '[Vortane]\n' >"$work/$config/httpd.ini" ;;
    v-*) cp "$bench_dir/load/rules/vortane-${config#v-}.ini" "$work/$config/httpd.ini" ;;
  esac
done

# start_config CONFIG: starts its server on the server CPU; sets port and pid.
start_config() {
  local config=$1
  case $config in
    v-*)
      local args=("$work/$config" --site "1=127.0.0.1:0:$work/www" --threads "$threads")
      [ "$config" = v-none ] && args+=(--no-filter)
      [ "$access_log" = 1 ] && args+=(--access-log "$work/$config/access.log")
      start_serve "$work/$config/serve.log" 1 "$server_cpu" "${args[@]}"
      port=${serve_ports[0]}
      pid=$serve_pid
      ;;
    a-*)
      local rules
      case $config in
        a-off) rules=off ;;
        a-none) rules=none ;;
        *) rules="$bench_dir/load/rules/apache-${config#a-}.conf" ;;
      esac
      port=$(free_port)
      local log=()
      [ "$access_log" = 1 ] && log=("$work/$config/access.log")
      write_apache_conf "$work/$config" "$port" "$work/www" "$threads" "$rules" "${log[@]}"
      start_apache "$work/$config" "$port" "$server_cpu"
      pid=$apache_pid
      ;;
  esac
}

stop_config() {
  case $1 in
    v-*) stop_serve "$pid" ;;
    a-*) stop_apache "$pid" ;;
  esac
}

# measure CONFIG: one run; appends its requests per second to rps[CONFIG] and the server's
# CPU time per request, in microseconds, to cpu[CONFIG].
measure() {
  local config=$1
  start_config "$config"
  # Every configuration must serve the page itself: the rules leave this request alone.
  local status
  status=$(curl -s -o "$work/body" -w '%{http_code}' "${header_args[@]}" \
    "http://127.0.0.1:$port$url_path")
  [ "$status" = 200 ] || fail "${label[$config]}: $url_path answered $status, not 200"
  cmp -s "$work/body" "$work/www$url_path" || fail "${label[$config]}: $url_path is not the page"
  # A short warm-up (loads the configuration, fills caches), then the measured run.
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d1s "${header_args[@]}" \
    "http://127.0.0.1:$port$url_path" >/dev/null
  local ticks_before ticks_after
  ticks_before=$(cpu_ticks "$pid")
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d"${duration}s" "${header_args[@]}" \
    "http://127.0.0.1:$port$url_path" >"$work/wrk.out"
  ticks_after=$(cpu_ticks "$pid")
  stop_config "$config"
  if [ "$access_log" = 1 ] && [ ! -s "$work/$config/access.log" ]; then
    fail "${label[$config]}: no access log was written"
  fi
  if grep -qE 'Non-2xx|Socket errors' "$work/wrk.out"; then
    cat "$work/wrk.out" >&2
    fail "${label[$config]}: wrk saw errors or answers other than 200"
  fi
  local rate requests per_request
  rate=$(awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.out")
  requests=$(awk '/ requests in / { print $1 }' "$work/wrk.out")
  if [ -z "$rate" ] || [ -z "$requests" ]; then
    fail "${label[$config]}: wrk's output has no count"
  fi
  per_request=$(awk -v t=$((ticks_after - ticks_before)) -v hz="$clock_ticks" -v n="$requests" \
    'BEGIN { printf "%.2f", t / hz / n * 1e6 }')
  rps[$config]="${rps[$config]:-} $rate"
  cpu[$config]="${cpu[$config]:-} $per_request"
  printf '  %-45s %8.0f req/s %8.2f µs CPU per request\n' "${label[$config]}" "$rate" "$per_request"
}

median() {
  tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

for round in $(seq 1 "$rounds"); do
  printf '\n=== round %s of %s (load: %s)\n' "$round" "$rounds" "$(uptime | sed 's/.*load average: //')"
  order=("${configs[@]}")
  if [ $((round % 2)) -eq 0 ]; then
    order=()
    for ((i = ${#configs[@]} - 1; i >= 0; i--)); do order+=("${configs[$i]}"); done
  fi
  for config in "${order[@]}"; do measure "$config"; done
done

declare -A med=() med_cpu=()
for config in "${configs[@]}"; do
  med[$config]=$(median <<<"${rps[$config]}")
  med_cpu[$config]=$(median <<<"${cpu[$config]}")
done
base_of() {
  case $1 in
    v-none | a-off) ;;
    v-empty) echo v-none ;;
    a-none) echo a-off ;;
    v-*) echo v-empty ;;
    a-*) echo a-none ;;
  esac
}
# What a configuration adds to a request against its baseline, in microseconds, two ways:
#   rps_cost: 1/rps - 1/rps(baseline), of the medians (the figure the target is set on);
#   cpu_cost: CPU time per request - that of the baseline, the median of the differences
#             within each round, which other work on the machine disturbs least.
rps_cost() {
  awk -v with="${med[$1]}" -v without="${med[$(base_of "$1")]}" \
    'BEGIN { printf "%+.2f", (1 / with - 1 / without) * 1e6 }'
}
cpu_cost() {
  paste -d' ' <(tr ' ' '\n' <<<"${cpu[$1]}" | grep .) \
    <(tr ' ' '\n' <<<"${cpu[$(base_of "$1")]}" | grep .) |
    awk '{ print $1 - $2 }' | tr '\n' ' ' | median | awk '{ printf "%+.2f", $1 }'
}

printf '\n=== results: medians of %s rounds\n' "$rounds"
printf '%-45s %8s %9s %9s %9s  %s\n' configuration "req/s" "1/rps µs" "CPU µs" "cost µs" \
  "(1/rps; CPU time) against"
for config in "${rows[@]}"; do
  base=$(base_of "$config")
  extra=""
  [ -n "$base" ] && extra="$(rps_cost "$config"); $(cpu_cost "$config")  ${short[$base]}"
  printf '%-45s %8.0f %9.2f %9.2f  %s\n' "${label[$config]}" "${med[$config]}" \
    "$(awk -v r="${med[$config]}" 'BEGIN { print 1e6 / r }')" "${med_cpu[$config]}" "$extra"
done
printf 'each round:\n'
for config in "${rows[@]}"; do
  printf '  %-45s req/s:%s; CPU µs:%s\n' "${label[$config]}" "${rps[$config]}" "${cpu[$config]}"
done
printf 'load at end: %s\n' "$(uptime)"

verdict() { awk -v v="$1" -v a="$2" 'BEGIN { print (v <= a) ? "met" : "NOT met" }'; }
v=$(rps_cost v-50) a=$(rps_cost a-50)
printf '\n50 rules, cost per request from 1/rps: the filter %s µs, mod_rewrite %s µs: target %s\n' \
  "$v" "$a" "$(verdict "$v" "$a")"
v=$(cpu_cost v-50) a=$(cpu_cost a-50)
printf '50 rules, cost per request in CPU time: the filter %s µs, mod_rewrite %s µs: target %s\n' \
  "$v" "$a" "$(verdict "$v" "$a")"
