#!/bin/sh
# Runs vortane-try on a scratch server directory and checks what it prints and its exit status.
# usage: vortane_try_test.sh PATH-OF-VORTANE-TRY
set -eu
try=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/server" "$dir/site"
cat >"$dir/server/httpd.ini" <<'INI'
[Vortane]
RewriteCond Host: ^old\.example$
RewriteRule ^(/.*)$ http://new.example$1 [R]
RewriteRule ^/admin(?:/.*)?$ / [F]
RewriteRule ^/p/(\d+)$ /p.asp\?id=$1 [U]
RewriteRule ^/unbalanced($ /x
INI
cat >"$dir/site/httpd.ini" <<'INI'
[Vortane]
RewriteHeader Accept-Language: ^([a-z]{2})-.*$ $1
rewriterule ^/a$ /b
INI

failures=0
# check NAME STATUS TEXTS ARGUMENT...: vortane-try with the arguments exits with STATUS and
# prints (on stdout or stderr) a line holding each of the "|"-separated TEXTS.
check() {
  name=$1 status=$2 texts=$3
  shift 3
  rc=0
  out=$("$try" "$@" 2>&1) || rc=$?
  missing=
  old_ifs=$IFS
  IFS='|'
  for text in $texts; do
    printf '%s\n' "$out" | grep -qF -- "$text" || missing="$missing [$text]"
  done
  IFS=$old_ifs
  if [ "$rc" -ne "$status" ] || [ -n "$missing" ]; then
    printf 'FAIL %s: exit %s (expected %s), missing:%s\n' "$name" "$rc" "$status" "$missing"
    printf '%s\n' "$out" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
}

s="$dir/server"
set -f # the texts hold "?" and "*"
check redirect 0 'response:|Location: http://new.example/a?b=1\r\n' \
  --header 'Host: old.example' "$s" '/a?b=1'
check refusal 0 'HTTP/1.1 403 Forbidden\r\n' "$s" /admin/users
check rewritten 0 'GET /p.asp?id=7 HTTP/1.1|X-Rewrite-URL: /p/7 (added)|log: target=/p/7 parameters=' \
  "$s" /p/7
check global-report 0 'log: (notification disabled)|Bad regular expression at lines 6 - 6' \
  "$s" /other
check site 0 'Accept-Language: de (was "de-AT")|Line 3: Unrecognized string: rewriterule ^/a$ /b' \
  --site-root 1="$dir/site" --header 'Accept-Language: de-AT' "$s" /
check no-config 0 'holds no httpd.ini' "$dir" /
check missing-dir 1 'vortane-try: no such directory:' "$dir/missing" /
check unknown-option 2 'vortane-try: unknown option --frobnicate' --frobnicate "$s" /
check bad-site 2 'vortane-try: bad site number' --site 0 "$s" /
check bad-header 2 'vortane-try: header without a name and colon' --header Host "$s" /
check no-url 2 'vortane-try: expected DIRECTORY and URL' "$s"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
