#!/usr/bin/env bash
# Starts vortane-serve on a copy of the shipped examples (global rules and two sites, on
# free ports), checks what curl gets back and what the access log and site table hold, that
# slow clients do not keep a request out, that SIGTERM stops it cleanly, and that its access
# log replays exactly through vortane-test --compare.
# usage: vortane_serve_test.sh PATH-OF-VORTANE-SERVE EXAMPLES-DIRECTORY PATH-OF-VORTANE-TEST
set -euo pipefail
serve=$1
examples=$2
vortane_test=$3
dir=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
cp -r "$examples" "$dir/site"
site=$dir/site
# A folder that a rule with O refuses under every spelling, and a program the global rules
# refuse.
mkdir "$site/shop/private"
echo "<h1>Private</h1>" >"$site/shop/private/index.html"
echo "program" >"$site/shop/tool.exe"
printf '\nRewriteRule ^/private(?:/.*)?$ / [O,F]\n' >>"$site/shop/httpd.ini"
# A permanent redirect, relayed with its own status line.
printf 'RewriteRule ^/moved$ /products/mugs [R=301]\n' >>"$site/shop/httpd.ini"
# A line the filter does not recognise: its report is printed on the console.
printf 'rewriterule ^/x$ /y\n' >>"$site/docs/httpd.ini"
# Refusals that hang on a header value holding "+" and on a value "-": the access log must
# keep both apart from a space and from an absent header for a replay.
printf '%s\n' 'RewriteCond User-Agent: ^.*\+bot.*$' 'RewriteRule ^/plus$ / [F]' \
  'RewriteCond Referer: ^-$' 'RewriteRule ^/dash$ / [F]' >>"$site/shop/httpd.ini"
# A front controller's folder: index.php comes first among the default documents given.
mkdir "$site/shop/front"
echo "front controller" >"$site/shop/front/index.php"
echo "static index" >"$site/shop/front/index.html"
# The shop's report is a link elsewhere: the console never prints what it leads to.
echo "linked report" >"$dir/elsewhere"
ln -sf "$dir/elsewhere" "$site/shop/httpd.parse.errors"

"$serve" "$site" --site 1=127.0.0.1:0:"$site/shop" --site 2=127.0.0.1:0:"$site/docs" \
  --access-log "$dir/access.log" --max-connections 64 \
  --default-document index.php --default-document index.html >"$dir/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q "SIGINT or SIGTERM stops" "$dir/out" && break
  kill -0 "$pid" 2>/dev/null || { cat "$dir/out"; exit 1; }
  sleep 0.1
done
port() { sed -n "s/^site $1 listening on 127.0.0.1:\([0-9]*\),.*/\1/p" "$dir/out"; }
shop=$(port 1)
docs=$(port 2)
[ -n "$shop" ] && [ -n "$docs" ] || { cat "$dir/out"; exit 1; }

failures=0
# A default document is one file name.
for name in a/index.php .. ''; do
  rc=0
  "$serve" "$site" --site 1=127.0.0.1:0:"$site/shop" --default-document "$name" \
    >/dev/null 2>"$dir/usage" || rc=$?
  if [ "$rc" -ne 2 ] || ! grep -q "default-document needs a file name" "$dir/usage"; then
    printf 'FAIL --default-document %s: exit %s\n' "$name" "$rc"
    failures=$((failures + 1))
  fi
done
# check NAME EXPECTED CURL-ARGUMENTS...: curl's "status location" and whether the body holds
# the text after "|" in EXPECTED.
check() {
  local name=$1 expected=$2
  shift 2
  local want_status=${expected%%|*} want_body=
  [[ $expected == *"|"* ]] && want_body=${expected#*|}
  local got
  got=$(curl -s -o "$dir/body" -w '%{http_code} %{redirect_url}' "$@") || true
  got=${got% }
  if [ "$got" != "$want_status" ] || { [ -n "$want_body" ] && ! grep -qF -- "$want_body" "$dir/body"; }; then
    printf 'FAIL %s: got "%s", expected "%s"\n' "$name" "$got" "$expected"
    sed 's/^/  | /' "$dir/body"
    failures=$((failures + 1))
  fi
}
check "rewritten to a static page" "200|<h1>Installing</h1>" "http://127.0.0.1:$docs/guide/install"
check "canonical host (global rule)" "302 http://example.com/guide/install" \
  -H 'Host: www.example.com' "http://127.0.0.1:$docs/guide/install"
check "site redirect" "302 http://127.0.0.1:$shop/products/mugs" "http://127.0.0.1:$shop/catalogue/mugs"
check "permanent redirect" "301 http://127.0.0.1:$shop/products/mugs" "http://127.0.0.1:$shop/moved"
check "refused probe" "403" "http://127.0.0.1:$shop/wp-login.php"
check "directory index" "200|<h1>Products</h1>" "http://127.0.0.1:$shop/products/"
check "first default document" "200|front controller" "http://127.0.0.1:$shop/front/"
check "default document not a folder's" "404" "http://127.0.0.1:$shop/front/index.php/"
check "directory without slash" "301 http://127.0.0.1:$shop/products/" "http://127.0.0.1:$shop/products"
check "rules file not served" "404" "http://127.0.0.1:$shop/httpd.ini"
check "rewritten to a missing script" "404" "http://127.0.0.1:$docs/help/shipping"
check "method not allowed" "405" -X POST "http://127.0.0.1:$shop/"
check "other site's rules do not apply" "404" "http://127.0.0.1:$shop/guide/install"
check "bad request" "400" "http://127.0.0.1:$shop/%zz"
check "refused folder" "403" "http://127.0.0.1:$shop/private/index.html"
check "refused folder, encoded slash" "403" --path-as-is "http://127.0.0.1:$shop/%2fprivate/"
check "refused folder, dot and slashes" "403" --path-as-is "http://127.0.0.1:$shop/.//private/"
check "refused program" "403" "http://127.0.0.1:$shop/tool.exe"
check "refused program, escaped" "403" --path-as-is "http://127.0.0.1:$shop/tool.%65xe"
check "program asked for as a folder" "404" "http://127.0.0.1:$shop/tool.exe/"
check "header value with +" "403" -A 'a+bot' "http://127.0.0.1:$shop/plus"
check "header value with a space" "404" -A 'a bot' "http://127.0.0.1:$shop/plus"
check "header value -" "403" -H 'Referer: -' "http://127.0.0.1:$shop/dash"
check "no such header" "404" "http://127.0.0.1:$shop/dash"
# Neither a site's rules nor the global directory's files are served under another name.
ln "$site/shop/httpd.ini" "$site/shop/rules.txt"
ln "$site/docs/httpd.ini" "$site/shop/docs-rules.txt"
ln "$site/sites.txt" "$site/shop/table.txt"
ln "$site/httpd.ini" "$site/shop/global.txt"
for name in rules.txt docs-rules.txt table.txt global.txt; do
  check "hard link $name" "404" "http://127.0.0.1:$shop/$name"
done
# More slow clients than the server takes at once (64): each sends half a request line and
# no more. A request that comes after them is still answered at once.
slow=()
for _ in $(seq 80); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$shop"
  printf 'GET / HTTP/1.1\r\n' >&"$fd"
  slow+=("$fd")
done
check "request behind 80 slow clients" "200|<h1>Shop</h1>" --max-time 3 "http://127.0.0.1:$shop/"
for fd in "${slow[@]}"; do exec {fd}>&-; done
# URLs up to 16 KiB reach the filter (and are served); one byte more gets 414.
long=$(printf 'q%.0s' $(seq 16382))
check "longest URL" "200|<h1>Shop</h1>" "http://127.0.0.1:$shop/?$long"
check "URL over the limit" "414" "http://127.0.0.1:$shop/?q$long"
# A long query hides nothing from the rules: the filter reads the URL whole.
check "refused folder, long query" "403" "http://127.0.0.1:$shop/private/index.html?$(printf 'q%.0s' $(seq 5000))"

# The docs site's rules were loaded by the requests above: its report reaches the console.
report="$site/docs/httpd.parse.errors: Line [0-9]+: Unrecognized string: rewriterule"
for _ in $(seq 50); do
  grep -qE "$report" "$dir/out" && break
  sleep 0.1
done
grep -qE "$report" "$dir/out" || { echo "FAIL report not printed"; failures=$((failures + 1)); }
# A report that is a link is not read: a change where it leads is not printed.
echo "changed where the link leads" >>"$dir/elsewhere"
sleep 1.2
if grep -q "linked report\|changed where" "$dir/out"; then
  echo "FAIL the console printed a file through a link"
  failures=$((failures + 1))
fi

kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
pid=
if [ "$rc" -ne 0 ] || ! grep -q '^stopped$' "$dir/out"; then
  printf 'FAIL stop: exit %s\n' "$rc"
  sed 's/^/  | /' "$dir/out"
  failures=$((failures + 1))
fi

expect_line() {
  local name=$1 file=$2 pattern=$3
  if ! grep -qE -- "$pattern" "$file"; then
    printf 'FAIL %s: no line matching %s in\n' "$name" "$pattern"
    sed 's/^/  | /' "$file"
    failures=$((failures + 1))
  fi
}
expect_line "site table" "$site/sites.txt" "^1 $site/shop\$"
expect_line "site table" "$site/sites.txt" "^2 $site/docs\$"
[ "$(wc -l <"$site/sites.txt")" -eq 2 ] || { echo "FAIL site table: not exactly two sites"; failures=$((failures + 1)); }
expect_line "access log fields" "$dir/access.log" "^#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes time-taken s-sitename cs-host cs\\(User-Agent\\) cs\\(Referer\\) x-requested-uri\$"
expect_line "rewrite logged as served" "$dir/access.log" " 127\.0\.0\.1 GET /pages/install\.html - 200 [0-9]+ [0-9]+ W3SVC2 127\.0\.0\.1:[0-9]+ curl/[^ ]+ - /guide/install\$"
# U keeps the address the visitor asked for in the log.
expect_line "U rule logged as requested" "$dir/access.log" " GET /help/shipping - 404 "
expect_line "redirect logged as the rules left it" "$dir/access.log" " GET /products/mugs - 302 "

# The log replays as the requests came in: with the two refusals gone from a copy of the
# configuration, exactly those two requests differ.
for version in old new; do
  mkdir "$dir/$version"
  cp -R "$site/shop" "$site/docs" "$site/httpd.ini" "$dir/$version/"
  printf '1 %s\n2 %s\n' "$dir/$version/shop" "$dir/$version/docs" >"$dir/$version/sites.txt"
done
sed -i 's|^RewriteRule ^/plus\$ / \[F\]$|RewriteRule ^/other-plus$ / [F]|; s|^RewriteRule ^/dash\$ / \[F\]$|RewriteRule ^/other-dash$ / [F]|' \
  "$dir/new/shop/httpd.ini"
compare=$("$vortane_test" --compare "$dir/old" "$dir/new" "$dir/access.log" 2>&1) && rc=0 || rc=$?
case $compare in
  *" requests replayed, 2 differ"*) ;;
  *) printf 'FAIL replay of the access log: exit %s\n' "$rc"; printf '%s\n' "$compare" | sed 's/^/  | /'; failures=$((failures + 1)) ;;
esac
for request in "/plus" "/dash"; do
  case $compare in
    *"$request"*) ;;
    *) echo "FAIL replay: $request does not differ"; failures=$((failures + 1)) ;;
  esac
done

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
