#!/usr/bin/env bash
# A site rule that backtracks catastrophically, under load. vortane-serve hosts a site whose
# httpd.ini maps section pages by slug with nested repeats, ((?:[a-z0-9]+-?)+), which try
# exponentially many splits of a long run of letters that does not end as the pattern
# expects. While wrk requests an ordinary page, one request sends such a URL. Checks:
#
#   - that request gets the filter's 500 for a per-site rule, within 1.5 s (the limit is
#     500 ms; the margin is for a loaded CI machine);
#   - the other connections went on being served meanwhile: no errors, nothing but 200, and
#     no request of theirs took as long as the runaway match;
#   - the rule is switched off: the same URL comes back at once (404, as no rule maps it any
#     more) and so does a slug the rule used to map;
#   - the server still stops gracefully.
#
# The pattern is long on purpose: Boost's own complexity bound grows with the pattern's
# length times the subject's, so a short pattern on a short URL is stopped by that bound
# within a few milliseconds (with the same 500); this one runs into the 500 ms limit.
#
#   bench/redos.sh        (needs build/vortane-serve; VORTANE_BUILD_DIR to use another)
set -euo pipefail
source "$(dirname "$0")/load/common.sh"

crafted_limit_ms=1500  # the runaway request's answer
after_limit_ms=100     # the same request once the rule is off
latency_limit_ms=300   # every other request during the run

for tool in wrk curl; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/setup.sh installs it)"
done
[ -x "$serve_bin" ] || fail "$serve_bin is not built"

work=$(mktemp -d)
trap 'cleanup_servers; rm -rf "$work"' EXIT
mkdir -p "$work/filter" "$work/www"
printf '[Vortane]\n' >"$work/filter/httpd.ini"
printf '<p>home</p>\n' >"$work/www/index.html"
printf '<p>a section page</p>\n' >"$work/www/page.html"
cat >"$work/www/httpd.ini" <<'EOF'
[Vortane]
# Section pages by slug: /articles/hello-world is served by /page.html?slug=hello-world.
RewriteRule ^/(?:about|articles|blog|careers|catalogue|contact|downloads|events|faq|gallery|guides|help|investors|jobs|legal|news|partners|press|privacy|products|recipes|resources|reviews|services|shop|stories|support|team|terms|videos)/((?:[a-z0-9]+-?)+)(?:\.html?)?/?$ /page.html\?slug=$1 [I]
EOF

crafted="/articles/$(printf 'a%.0s' $(seq 1 2000))_"

# request URL: prints "STATUS MILLISECONDS", and leaves the response's head in $work/head.
request() {
  curl -s --max-time 10 -o "$work/body" -D "$work/head" -w '%{http_code} %{time_total}' \
    "http://127.0.0.1:$port$1" | awk '{ printf "%s %d", $1, $2 * 1000 }'
}

start_serve "$work/serve.log" 1 "" "$work/filter" --site "1=127.0.0.1:0:$work/www" --threads 4
port=${serve_ports[0]}

read -r status ms <<<"$(request /articles/hello-world)"
if [ "$status" != 200 ] || ! grep -q 'section page' "$work/body"; then
  fail "the rule does not map /articles/hello-world (answer $status)"
fi
[ ! -s "$work/www/httpd.parse.errors" ] || fail "the site's httpd.ini has lines the filter cannot use"

# Ordinary requests on four connections for 3 s; the runaway request starts 1 s in.
wrk -t1 -c4 -d3s --latency --timeout 5s "http://127.0.0.1:$port/index.html" >"$work/wrk.out" &
wrk_pid=$!
sleep 1
read -r status ms <<<"$(request "$crafted")"
kill -0 "$wrk_pid" 2>/dev/null || fail "the load ended before the runaway request was answered"
wait "$wrk_pid" || fail "wrk failed"
printf 'runaway request: %s in %s ms: %s\n' "$status" "$ms" "$(head -n 1 "$work/head" | tr -d '\r')"
[ "$status" = 500 ] || fail "the runaway request got $status, not 500"
grep -q 'Timeout while processing per-site rule' "$work/head" ||
  fail "the 500 is not the filter's answer for a per-site rule"
[ "$ms" -lt "$crafted_limit_ms" ] || fail "the runaway request took $ms ms (limit $crafted_limit_ms)"

grep -E '^ +Latency +[0-9]|requests in|^Requests/sec' "$work/wrk.out" | sed 's/^ */  wrk: /'
if grep -qE 'Non-2xx|Socket errors' "$work/wrk.out"; then
  cat "$work/wrk.out" >&2
  fail "the other connections saw errors or answers other than 200"
fi
# wrk's latency line: "Latency  avg  stdev  max  +/-"; max as "12.34ms", "1.20s" or "900us".
max_ms=$(awk '$1 == "Latency" && $2 ~ /^[0-9]/ {
  v = $4; unit = v; sub(/^[0-9.]+/, "", unit); sub(/[a-z]+$/, "", v)
  printf "%d", v * (unit == "s" ? 1000 : unit == "us" ? 0.001 : 1); exit }' "$work/wrk.out")
[ -n "$max_ms" ] || fail "no latency in wrk's output"
[ "$max_ms" -lt "$latency_limit_ms" ] ||
  fail "a request took $max_ms ms while the rule ran (limit $latency_limit_ms): others were held up"
requests=$(awk '/ requests in / { print $1 }' "$work/wrk.out")
[ "$requests" -ge 300 ] || fail "only $requests requests were served in 3 s"

# The rule is off now: the same URL is answered at once, and by the static files.
for _ in 1 2 3; do
  read -r status ms <<<"$(request "$crafted")"
  printf 'runaway URL again: %s in %s ms\n' "$status" "$ms"
  [ "$status" = 404 ] || fail "the runaway URL now gets $status, not 404"
  [ "$ms" -lt "$after_limit_ms" ] || fail "the runaway URL took $ms ms (limit $after_limit_ms)"
done
read -r status ms <<<"$(request /articles/hello-world)"
[ "$status" = 404 ] || fail "/articles/hello-world got $status: the rule is still on"

stop_serve "$serve_pid"
printf 'ReDoS: the runaway rule was stopped and switched off; other requests were served\n'
