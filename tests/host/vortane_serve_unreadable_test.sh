#!/usr/bin/env bash
# vortane-serve with a site whose httpd.ini exists but cannot be read (mode 0600 of another
# user): requests are answered with the filter's 500 for the site, the report line reaches the
# console, and once the file can be read its rules run.
# usage: vortane_serve_unreadable_test.sh PATH-OF-VORTANE-SERVE
set -euo pipefail
serve=$1
dir=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir "$dir/site"
echo "<h1>Public</h1>" >"$dir/site/index.html"
printf '[Vortane]\nRewriteRule ^/private(?:/.*)?$ / [F]\n' >"$dir/site/httpd.ini"
chmod 600 "$dir/site/httpd.ini"
# Permissions do not stop root: the server then runs as nobody, the file stays root's.
run=("$serve")
if [ "$(id -u)" -eq 0 ]; then
  chmod 777 "$dir" "$dir/site"
  run=(setpriv --reuid=65534 --regid=65534 --clear-groups "$serve")
else
  chmod 000 "$dir/site/httpd.ini"
fi
"${run[@]}" "$dir" --site 1=127.0.0.1:0:"$dir/site" >"$dir/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q "SIGINT or SIGTERM stops" "$dir/out" && break
  kill -0 "$pid" 2>/dev/null || { cat "$dir/out"; exit 1; }
  sleep 0.1
done
port=$(sed -n "s/^site 1 listening on 127.0.0.1:\([0-9]*\),.*/\1/p" "$dir/out")
[ -n "$port" ] || { cat "$dir/out"; exit 1; }

failures=0
fail() {
  echo "FAIL $*"
  sed 's/^/  | /' "$dir/out"
  failures=$((failures + 1))
}
status_line() { curl -s -i "http://127.0.0.1:$port$1" | head -1 | tr -d '\r'; }

got=$(status_line /)
[ "$got" = "HTTP/1.1 500 Internal Server Error. Unable to read per-site configuration file" ] ||
  fail "unreadable file: got \"$got\""
line="$dir/site/httpd.parse.errors: File cannot be read: access denied"
for _ in $(seq 50); do
  grep -qF "$line" "$dir/out" && break
  sleep 0.1
done
grep -qF "$line" "$dir/out" || fail "report line not printed"

chmod 644 "$dir/site/httpd.ini"
got=$(status_line /private/x)
[ "$got" = "HTTP/1.1 403 Forbidden" ] || fail "readable again: got \"$got\""
got=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/")
[ "$got" = 200 ] || fail "public page: got $got"

kill -TERM "$pid"
wait "$pid" || fail "stop"
pid=
if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all checks passed"
