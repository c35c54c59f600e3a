#!/usr/bin/env bash
# Soak test: vortane-serve with two sites under 64 connections of wrk for SECONDS (default
# 60) while the configuration keeps changing under it:
#
#   - every 100 ms the global httpd.ini and site 1's httpd.ini are replaced, alternating
#     between two valid variants of each (the global ones set CacheClockRate 1, so unused
#     entries expire every second, and alternate RepeatLimit 8 and 16);
#   - every second the site table sites.txt is replaced: a third site's line comes and goes,
#     and site 2's line alternates between two roots holding the same rules, so that the
#     filter drops and reloads site 2's configuration while it is in use;
#   - every 100 ms site 4's httpd.ini is saved in place (emptied, then written, as `cat >`
#     and many editors do), alternating between two variants of one size, while 4 more
#     connections request it. A save in place is seen half done by the requests of that
#     moment, so site 4's answers are not checked during the run; once the saves stop and
#     the 2 s window of docs/configuration.md has passed, its last variant must be in
#     effect.
#
# Sites 1 and 2 have their files replaced as deployment tools replace them, written beside
# and renamed over, so that every answer of theirs can be checked.
#
# Fails when the server dies or does not stop cleanly, when any answer is not one the rules
# allow for its URL (bench/load/soak.lua: status, Location, page), when a variant never
# took effect, on socket errors other than those the filter's own answers explain (it
# answers a 302 or 403 without a length and closes the connection: wrk reads that answer up
# to the end of the connection and counts one read error for it), or when the server's
# resident memory grows by more than RSS_GROWTH_KIB (default 8192) between the end of the
# warm-up (a fifth of the run, at most 10 s) and the end of the run, or when site 4 does not
# run the last variant saved in place 2 s after the saves stopped.
#
#   bench/soak.sh [SECONDS]      (needs build/vortane-serve; VORTANE_BUILD_DIR to use another)
set -euo pipefail
source "$(dirname "$0")/load/common.sh"

seconds=${1:-60}
rss_growth_kib=${RSS_GROWTH_KIB:-8192}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 5 ]; then
  fail "SECONDS must be a number, at least 5"
fi
warmup=$((seconds / 5 < 10 ? seconds / 5 : 10))

command -v wrk >/dev/null || fail "wrk is missing (bash scripts/setup.sh installs it)"
[ -x "$serve_bin" ] || fail "$serve_bin is not built"

work=$(mktemp -d)
changer_pid=""
stop_changer() {
  if [ -n "$changer_pid" ] && kill -0 "$changer_pid" 2>/dev/null; then
    kill "$changer_pid" 2>/dev/null || true
    wait "$changer_pid" 2>/dev/null || true
  fi
  changer_pid=""
}
wrk1_pid="" wrk2_pid="" wrk4_pid=""
stop_load() {
  local pid
  for pid in $wrk1_pid $wrk2_pid $wrk4_pid; do kill "$pid" 2>/dev/null || true; done
}
trap 'stop_load; stop_changer; cleanup_servers; rm -rf "$work"' EXIT

# --- The configuration variants and the sites' files
filter_dir=$work/filter
mkdir -p "$filter_dir" "$work/variants" "$work/site1" "$work/site2" "$work/site2-copy" \
  "$work/site3" "$work/site4"
for variant in a b; do
  if [ "$variant" = a ]; then repeat=8 help=help.html; else repeat=16 help=help-pages.html; fi
  cat >"$work/variants/global-$variant" <<EOF
[Vortane]
CacheClockRate 1
RepeatLimit $repeat
RewriteCond Host: ^www\.example\.com(?::\d+)?$
RewriteRule ^(/.*)\$ http://example.com\$1 [I,R]
RewriteRule ^/(?:wp-login\.php|wp-admin|xmlrpc\.php)(?:[/?].*)?\$ / [I,F]
RewriteRule ^[^?]*\.(?:exe|dll|bat|cmd)(?:\?.*)?\$ / [I,F]
RewriteRule ^([^?]*?)//+(.*)\$ \$1/\$2 [N]
RewriteRule ^/help/([a-z-]+)/?\$ /$help\?topic=\$1 [I,U]
EOF
done
# Variant b of site 1 sends the old catalogue to /shop/ rather than /products/.
for variant in a b; do
  if [ "$variant" = a ]; then target=products; else target=shop; fi
  cat >"$work/variants/site1-$variant" <<EOF
[Vortane]
RewriteRule ^/catalogue/(.*)\$ /$target/\$1 [I,R]
RewriteRule ^/products/(\d+)(?:/[\w-]*)?(?:\?(.+))?\$ /product.html\?id=\$1(?2&\$2) [L]
EOF
done
cat >"$work/site2/httpd.ini" <<'EOF'
[Vortane]
RewriteRule ^/blog/(\d{4})/(\d{2})/([\w-]+)/?$ /posts/$1-$2-$3 [R]
RewriteRule ^/feed/?$ /feed.xml [L]
EOF
cp "$work/site2/httpd.ini" "$work/site2-copy/httpd.ini"
cat >"$work/site3/httpd.ini" <<'EOF'
[Vortane]
RewriteRule ^/(.*)$ /site3/$1 [L]
EOF
# Site 4's two variants, of one size: refuse /private, or redirect it.
for variant in a b; do
  if [ "$variant" = a ]; then flag=F; else flag=R; fi
  printf '[Vortane]\nRewriteRule ^/private(?:/.*)?$ /moved [%s]\n' "$flag" >"$work/variants/site4-$variant"
done
cp "$work/variants/site4-a" "$work/site4/httpd.ini"
printf 'site 4 home\n' >"$work/site4/index.html"
cp "$work/variants/global-a" "$filter_dir/httpd.ini"
cp "$work/variants/site1-a" "$work/site1/httpd.ini"

printf 'site 1 home\n' >"$work/site1/index.html"
printf 'product\n' >"$work/site1/product.html"
printf 'site 2 home\n' >"$work/site2/index.html"
printf 'feed\n' >"$work/site2/feed.xml"
for site in site1 site2; do
  printf 'help\n' >"$work/$site/help.html"
  printf 'help pages\n' >"$work/$site/help-pages.html"
done

# replace FILE SOURCE: FILE gets SOURCE's bytes in one rename.
replace() {
  cp "$2" "$1.new"
  mv -f "$1.new" "$1"
}

# Runs in the background until killed: the 100 ms and 1 s changes.
change_configuration() {
  local tick=0 variant
  while true; do
    tick=$((tick + 1))
    if [ $((tick % 2)) -eq 0 ]; then variant=a; else variant=b; fi
    replace "$filter_dir/httpd.ini" "$work/variants/global-$variant"
    replace "$work/site1/httpd.ini" "$work/variants/site1-$variant"
    # In place: the same file emptied, then written.
    cat "$work/variants/site4-$variant" >"$work/site4/httpd.ini"
    if [ $((tick % 10)) -eq 0 ]; then
      {
        printf '# site table of the soak test, change %d\n' $((tick / 10))
        printf '1 %s\n4 %s\n' "$work/site1" "$work/site4"
        if [ $((tick % 20)) -eq 0 ]; then
          printf '2 %s\n3 %s\n' "$work/site2-copy" "$work/site3"
        else
          printf '2 %s\n' "$work/site2"
        fi
      } >"$filter_dir/sites.txt.new"
      mv -f "$filter_dir/sites.txt.new" "$filter_dir/sites.txt"
    fi
    sleep 0.1
  done
}

# --- The run
start_serve "$work/serve.log" 3 "" "$filter_dir" --threads 4 \
  --site "1=127.0.0.1:0:$work/site1" --site "2=127.0.0.1:0:$work/site2" \
  --site "4=127.0.0.1:0:$work/site4"
port1=${serve_ports[0]}
port2=${serve_ports[1]}
port4=${serve_ports[2]}
printf 'soak: %s s, sites on ports %s and %s, warm-up %s s\n' "$seconds" "$port1" "$port2" "$warmup"

change_configuration &
changer_pid=$!
wrk -t2 -c32 -d"${seconds}s" --timeout 10s -s "$bench_dir/load/soak.lua" \
  "http://127.0.0.1:$port1" -- 1 16 >"$work/wrk1.out" 2>&1 &
wrk1_pid=$!
wrk -t2 -c32 -d"${seconds}s" --timeout 10s -s "$bench_dir/load/soak.lua" \
  "http://127.0.0.1:$port2" -- 2 16 >"$work/wrk2.out" 2>&1 &
wrk2_pid=$!
# Site 4's requests, unchecked, run until the saves in place have stopped.
wrk -t1 -c4 -d"$((seconds + 60))s" --timeout 10s "http://127.0.0.1:$port4/private/x" \
  >"$work/wrk4.out" 2>&1 &
wrk4_pid=$!

sleep "$warmup"
kill -0 "$serve_pid" 2>/dev/null || fail "vortane-serve died during the warm-up"
rss_start=$(rss_kib "$serve_pid")
printf 'resident memory after the warm-up: %s KiB\n' "$rss_start"
# Watch the server while the load runs, so that a death is reported when it happens.
while kill -0 "$wrk1_pid" 2>/dev/null || kill -0 "$wrk2_pid" 2>/dev/null; do
  kill -0 "$serve_pid" 2>/dev/null || fail "vortane-serve died under load (log: $(tail -n 3 "$work/serve.log"))"
  sleep 1
done
wait "$wrk1_pid" || { cat "$work/wrk1.out" >&2; fail "wrk (site 1) failed"; }
wait "$wrk2_pid" || { cat "$work/wrk2.out" >&2; fail "wrk (site 2) failed"; }
kill -0 "$serve_pid" 2>/dev/null || fail "vortane-serve died under load"
rss_end=$(rss_kib "$serve_pid")
stop_changer
kill "$wrk4_pid" 2>/dev/null || true
wait "$wrk4_pid" 2>/dev/null || true
wrk4_pid=""
printf 'resident memory at the end: %s KiB (growth %s KiB, bound %s KiB)\n' "$rss_end" \
  $((rss_end - rss_start)) "$rss_growth_kib"

# --- The verdict
failures=0
problem() {
  printf 'FAIL: %s\n' "$*"
  failures=$((failures + 1))
}
for site in 1 2; do
  out=$work/wrk$site.out
  line=$(grep '^soak ' "$out") || { cat "$out" >&2; fail "no summary from wrk (site $site)"; }
  printf 'site %s: %s\n' "$site" "${line#"soak site=$site "}"
  grep '^unexpected answer' "$out" || true
  declare -A got=()
  for field in ${line#soak }; do got[${field%%=*}]=${field#*=}; done
  responses=${got[responses]:-0}
  unexpected=${got[unexpected]:-0}
  unchecked=${got[unchecked]:-0}
  connect=${got[errors.connect]} timeouts=${got[errors.timeout]}
  read_write=$((${got[errors.read]} + ${got[errors.write]}))
  closed=$((${got[status.302]:-0} + ${got[status.403]:-0}))
  [ "$responses" -ge $((seconds * 100)) ] || problem "site $site: only $responses responses"
  [ "$unexpected" -eq 0 ] || problem "site $site: $unexpected answers the rules do not allow"
  [ "$unchecked" -eq 0 ] || problem "site $site: $unchecked answers went unchecked"
  for key in "${!got[@]}"; do
    if [[ $key == seen.* ]] && [ "${got[$key]}" -eq 0 ]; then
      problem "site $site: no answer was ${key#seen.}: a variant never took effect"
    fi
  done
  [ "$connect" -eq 0 ] || problem "site $site: $connect connection errors"
  [ "$timeouts" -eq 0 ] || problem "site $site: $timeouts timeouts"
  [ "$read_write" -le "$closed" ] ||
    problem "site $site: $read_write read and write errors, more than the $closed connections the filter closed"
  unset got
done
[ $((rss_end - rss_start)) -le "$rss_growth_kib" ] ||
  problem "resident memory grew by $((rss_end - rss_start)) KiB"
# Site 4, once the window after its last save in place has passed: the request that notices
# runs the rules it had, the next ones the saved rules.
sleep 2.2
# What the file holds (the changer may have been stopped between emptying and writing it).
if cmp -s "$work/site4/httpd.ini" "$work/variants/site4-a"; then
  last=a want=403
elif cmp -s "$work/site4/httpd.ini" "$work/variants/site4-b"; then
  last=b want=302
else
  last=empty want=404
fi
answers=()
for _ in 1 2 3; do
  answers+=("$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port4/private/x")")
done
printf 'site 4: last save in place %s, answers %s\n' "$last" "${answers[*]}"
[ "${answers[1]}" = "$want" ] && [ "${answers[2]}" = "$want" ] ||
  problem "site 4: answers ${answers[*]} 2 s after its last save in place, expected $want"
[ "$failures" -eq 0 ] || fail "$failures checks failed"
stop_serve "$serve_pid"
printf 'soak: passed\n'
