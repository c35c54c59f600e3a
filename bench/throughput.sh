#!/usr/bin/env bash
# Requests per second of vortane-serve and of Apache httpd 2.4 serving the same 1 KiB page
# on loopback, and what the rules cost per request on each:
#
#   vortane-serve: no filter (--no-filter), the filter with an empty configuration, with the
#                  20 rules of bench/load/rules/vortane-20.ini, with the 50 of vortane-50.ini,
#                  and with 1,000: those 50 and 950 redirects of retired addresses
#                  (rule_file in bench/load/common.sh)
#   Apache httpd:  without mod_rewrite, mod_rewrite on with no rules, with the same 20, 50
#                  and 1,000 rules (apache-20.conf, apache-50.conf, rule_file)
#
# and a front controller: WordPress's block, as docs/migrating.md writes it for each server
# (the filter's in the site's httpd.ini; Apache's in the site's .htaccess, read as such sites
# run, with AllowOverride All), for an address that names no file (/2026/12/hello-world/),
# which both rewrite to /index.php after asking whether it names a file or a folder. Its cost
# is set against each server without its rewriting serving /index.php itself.
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
# The CPU cost per request of 0 (an empty configuration; mod_rewrite on with no rules), 20, 50
# and 1,000 rules against each server without its rewriting (no filter; no mod_rewrite), and
# of the front controller (wp) against each serving /index.php without its rewriting, goes
# to DATA, with the machine and the load in comments, for bench/plot.sh to draw.
#
#   bench/throughput.sh
#   ROUNDS=7 DURATION=5 CONNECTIONS=4 THREADS=8 ACCESS_LOG=0 DATA=bench/throughput.dat \
#     bench/throughput.sh   (defaults)
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
data=${DATA:-$(dirname "$0")/throughput.dat}
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
machine=$(lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Core\(s\) per socket):' |
  sed 's/:  */: /' | paste -sd';' || true)
printf '%s\n' "$machine"
load_start=$(uptime | sed 's/.*load average: //')
printf 'load at start: %s\n' "$(uptime)"
# wrk --version exits with 1.
versions="$("$apache_bin" -v | head -n 1); $(wrk --version 2>&1 | head -n 1 | cut -d' ' -f1-2 || true)"
printf '%s\n' "$versions"
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

# The front controller's site: the same page as index.php, and each server's rules beside it,
# read from the document so that the benchmark runs what it shows.
block() {
  awk -v fence="$1" '$0 == fence { inside = 1; found = 1; next }
    inside && /^```$/ { exit } inside { print } END { if (!found) exit 1 }' \
    "$bench_dir/../docs/migrating.md" || fail "no block $1 in docs/migrating.md"
}
make_docroot "$work/wp"
cp "$work/wp/index.html" "$work/wp/index.php"
block '```ini {#wordpress file=www/httpd.ini}' >"$work/wp/httpd.ini"
block '```apache {#wordpress file=www/.htaccess}' >"$work/wp/.htaccess"
chmod -R a+rX "$work/wp"
wp_path=/2026/12/hello-world/

# The order of a round: the servers alternate, and each configuration runs close to its
# baseline.
configs=(v-none v-empty a-off a-none v-50 a-50 v-20 a-20 v-1000 a-1000 v-wp-off a-wp-off v-wp a-wp)
# The order of the table.
rows=(v-none v-empty v-20 v-50 v-1000 v-wp-off v-wp a-off a-none a-20 a-50 a-1000 a-wp-off a-wp)
declare -A label=(
  [v-none]="vortane-serve  no filter"
  [v-empty]="vortane-serve  filter, empty configuration"
  [v-20]="vortane-serve  filter, 20 rules"
  [v-50]="vortane-serve  filter, 50 rules"
  [v-1000]="vortane-serve  filter, 1000 rules"
  [a-off]="Apache httpd   without mod_rewrite"
  [a-none]="Apache httpd   mod_rewrite, no rules"
  [a-20]="Apache httpd   mod_rewrite, 20 rules"
  [a-50]="Apache httpd   mod_rewrite, 50 rules"
  [a-1000]="Apache httpd   mod_rewrite, 1000 rules"
  [v-wp-off]="vortane-serve  no filter, /index.php"
  [v-wp]="vortane-serve  filter, WordPress"
  [a-wp-off]="Apache httpd   without mod_rewrite, /index.php"
  [a-wp]="Apache httpd   mod_rewrite, WordPress .htaccess"
)
declare -A short=([v-none]="no filter" [v-empty]="empty configuration"
  [a-off]="without mod_rewrite" [a-none]="no rules" [v-wp-off]="no filter, /index.php"
  [a-wp-off]="without mod_rewrite, /index.php")
# What each configuration is asked for, and which file must answer: the page, unless below.
declare -A path=([v-wp-off]=/index.php [a-wp-off]=/index.php [v-wp]=$wp_path [a-wp]=$wp_path)
declare -A answer=([v-wp-off]=index.php [a-wp-off]=index.php [v-wp]=index.php [a-wp]=index.php)
declare -A rps=() cpu=()
clock_ticks=$(getconf CLK_TCK)

# Each configuration's own directory: the filter's (global httpd.ini) or Apache's, with its
# rules (rules.conf).
for config in "${configs[@]}"; do
  mkdir -p "$work/$config"
  case $config in
    v-none | v-empty | v-wp*) printf '[Vortane]\n' >"$work/$config/httpd.ini" ;;
    v-*) rule_file "${config#v-}" vortane >"$work/$config/httpd.ini" ;;
    a-off | a-none | a-wp*) ;;
    a-*) rule_file "${config#a-}" apache >"$work/$config/rules.conf" ;;
  esac
done

# start_config CONFIG: starts its server on the server CPU; sets port and pid.
start_config() {
  local config=$1
  case $config in
    v-*)
      local root=$work/www
      [[ $config == v-wp* ]] && root=$work/wp
      local args=("$work/$config" --site "1=127.0.0.1:0:$root" --threads "$threads")
      [[ $config == v-none || $config == v-wp-off ]] && args+=(--no-filter)
      [ "$access_log" = 1 ] && args+=(--access-log "$work/$config/access.log")
      start_serve "$work/$config/serve.log" 1 "$server_cpu" "${args[@]}"
      port=${serve_ports[0]}
      pid=$serve_pid
      ;;
    a-*)
      local rules
      local root=$work/www indexes=()
      case $config in
        a-off | a-wp-off) rules=off ;;
        a-none) rules=none ;;
        # The site's .htaccess holds the rules; it is read only with an index list.
        a-wp) rules=none root=$work/wp indexes=(index.php index.html) ;;
        *) rules="$work/$config/rules.conf" ;;
      esac
      [ "$config" = a-wp-off ] && root=$work/wp
      port=$(free_port)
      local log=("")
      [ "$access_log" = 1 ] && log=("$work/$config/access.log")
      write_apache_conf "$work/$config" "$port" "$root" "$threads" "$rules" "${log[@]}" \
        "${indexes[@]}"
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
  local url=${path[$config]:-$url_path} file=${answer[$config]:-${url_path#/}}
  start_config "$config"
  # Every configuration must answer with its page: the rules leave the page's request alone,
  # and the front controller's address is answered by index.php.
  local status
  status=$(curl -s -o "$work/body" -w '%{http_code}' "${header_args[@]}" \
    "http://127.0.0.1:$port$url")
  [ "$status" = 200 ] || fail "${label[$config]}: $url answered $status, not 200"
  cmp -s "$work/body" "$work/www/index.html" || fail "${label[$config]}: $url is not /$file"
  # A short warm-up (loads the configuration, fills caches), then the measured run.
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d1s "${header_args[@]}" \
    "http://127.0.0.1:$port$url" >/dev/null
  local ticks_before ticks_after
  ticks_before=$(cpu_ticks "$pid")
  taskset -c "$client_cpu" wrk -t1 -c"$connections" -d"${duration}s" "${header_args[@]}" \
    "http://127.0.0.1:$port$url" >"$work/wrk.out"
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
    v-none | a-off | v-wp-off | a-wp-off) ;;
    v-empty) echo v-none ;;
    a-none) echo a-off ;;
    v-wp) echo v-wp-off ;;
    a-wp) echo a-wp-off ;;
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
#   CONFIG [BASELINE]: against BASELINE when one is given.
cpu_cost() {
  paste -d' ' <(tr ' ' '\n' <<<"${cpu[$1]}" | grep .) \
    <(tr ' ' '\n' <<<"${cpu[${2:-$(base_of "$1")}]}" | grep .) |
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

# at_most VALUE LIMIT: "met" when VALUE <= LIMIT.
at_most() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v <= limit) ? "met" : "NOT met" }'; }
# ratio V A: V / A, or "-" when A is not above 0.
ratio() { awk -v v="$1" -v a="$2" 'BEGIN { if (a > 0) printf "%.2fx", v / a; else print "-" }'; }
for measure in rps_cost cpu_cost; do
  how="from 1/rps"
  [ $measure = cpu_cost ] && how="in CPU time"
  v=$($measure v-50) a=$($measure a-50)
  half=$(awk -v a="$a" 'BEGIN { printf "%.2f", a / 2 }')
  printf '\n50 rules, cost per request %s: the filter %s µs, mod_rewrite %s µs (%s); ' \
    "$how" "$v" "$a" "$(ratio "$v" "$a")"
  printf 'target, at most half of mod_rewrite'"'"'s (%s µs): %s' "$half" "$(at_most "$v" "$half")"
done
printf '\n'
v=$(cpu_cost v-1000) a=$(cpu_cost a-1000)
printf '1000 rules, cost per request in CPU time: the filter %s µs, mod_rewrite %s µs\n' "$v" "$a"
v=$(cpu_cost v-wp) a=$(cpu_cost a-wp)
half=$(awk -v a="$a" 'BEGIN { printf "%.2f", a / 2 }')
printf 'WordPress front controller, cost per request in CPU time: the filter %s µs, ' "$v"
printf 'mod_rewrite %s µs (%s); target, at most half (%s µs): %s\n' "$a" "$(ratio "$v" "$a")" \
  "$half" "$(at_most "$v" "$half")"
v=$(cpu_cost v-empty)
printf 'empty configuration, cost per request in CPU time: %s µs over no filter: ' "$v"
printf 'at most 3 µs: %s\n' "$(at_most "$v" 3)"

# The figures bench/plot.sh draws: each server's CPU cost per request against itself without
# its rewriting, for each number of rules.
{
  printf '# bench/throughput.sh, %s; %s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" "$machine"
  printf '# %s; %s rounds of %s s; load average at start %s, at end %s\n' "$versions" \
    "$rounds" "$duration" "$load_start" "$(uptime | sed 's/.*load average: //')"
  printf '# CPU µs per request over the server without its rewriting (medians of the rounds)\n'
  printf '# rules  vortane-serve  apache\n'
  printf '%s %s %s\n' 0 "$(cpu_cost v-empty v-none)" "$(cpu_cost a-none a-off)"
  for rules in 20 50 1000; do
    printf '%s %s %s\n' "$rules" "$(cpu_cost "v-$rules" v-none)" "$(cpu_cost "a-$rules" a-off)"
  done
  printf '%s %s %s\n' wp "$(cpu_cost v-wp)" "$(cpu_cost a-wp)"
} >"$data"
printf 'figures for bench/plot.sh written to %s\n' "$data"
