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
RewriteRule ^([^?]*?)//+(.*)$ $1/$2 [N]
RepeatLimit 2
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

# check_trace NAME EXPECTED ARGUMENT...: vortane-try --trace with the arguments prints the
# trace EXPECTED (from "trace:" to the last indented line after it), exactly.
check_trace() {
  name=$1 expected=$2
  shift 2
  out=$("$try" --trace "$@" 2>&1) || true
  trace=$(printf '%s\n' "$out" | awk '/^trace:$/ { on = 1; print; next } on && /^  / { print; next } { on = 0 }')
  if [ "$trace" != "$expected" ]; then
    printf 'FAIL %s: the trace differs (expected, then printed):\n' "$name"
    printf '%s\n' "$expected" >"$dir/expected"
    printf '%s\n' "$trace" | diff "$dir/expected" - | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
}

# check_same NAME ARGUMENT...: the library run and the traced run print the same response or
# request, log line and reports.
check_same() {
  name=$1
  shift
  plain=$("$try" "$@" 2>&1) || true
  traced=$("$try" --trace "$@" 2>&1 | awk '/^trace:$/ { on = 1; next } on && /^  / { next } { on = 0; print }') || true
  if [ "$plain" != "$traced" ]; then
    printf 'FAIL %s: the traced run printed otherwise:\n' "$name"
    printf '%s\n' "$plain" >"$dir/plain"
    printf '%s\n' "$traced" | diff "$dir/plain" - | sed 's/^/  | /'
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

# Site 1 now has its root in the table.
check_trace restarts-to-the-limit "trace:
  global rules: $s/httpd.ini (4 rules, repeat limit 2)
  sweep 1
    line 3: URL [R]
      condition (line 2) Host: \"\"
      target URL \"/x//y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 4: URL [F]
      target URL \"/x//y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 5: URL [U]
      target URL \"/x//y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 7: URL [N]
      target URL \"/x//y//z?q=1\"
      matched: \$0 \"/x//y//z?q=1\", \$1 \"/x\", \$2 \"y//z?q=1\"
      wrote URL \"/x/y//z?q=1\" (accepted)
      result Matched|Restart; pass Matched|NoMatch|Restart
  restart: sweep 2 of at most 2
    line 3: URL [R]
      condition (line 2) Host: \"\"
      target URL \"/x/y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 4: URL [F]
      target URL \"/x/y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 5: URL [U]
      target URL \"/x/y//z?q=1\"
      no match: result NoMatch; pass NoMatch
    line 7: URL [N]
      target URL \"/x/y//z?q=1\"
      matched: \$0 \"/x/y//z?q=1\", \$1 \"/x/y\", \$2 \"z?q=1\"
      wrote URL \"/x/y/z?q=1\" (accepted)
      result Matched|Restart; pass Matched|NoMatch|Restart
  no restart: 2 sweeps, the repeat limit, have run
  end (after the last rule): Matched|NoMatch|Restart
  site 1 rules: $dir/site/httpd.ini (1 rule, repeat limit 2)
  sweep 1
    line 2: Accept-Language:
      target Accept-Language: \"de-AT\"
      matched: \$0 \"de-AT\", \$1 \"de\"
      wrote Accept-Language: \"de\" (accepted)
      result Matched; pass Matched
  end (after the last rule): Matched" --header 'Accept-Language: de-AT' "$s" '/x//y//z?q=1'
check trace-redirect 0 'condition (line 2) Host: "old.example"|matched: $0 "old.example\n/a", $1 "/a"|wrote URL "http://new.example/a" (accepted)|result Matched|Stop|Redirect; pass Matched|Stop|Redirect|end (stopped): Matched|Stop|Redirect|no site pass: the global result answered or stopped the request|Location: http://new.example/a\r\n' \
  --trace --header 'Host: old.example' "$s" /a
check trace-refusal 0 'line 4: URL [F]|nothing written (refusal)|end (stopped): Matched|NoMatch|Stop|Forbidden|HTTP/1.1 403 Forbidden\r\n' \
  --trace "$s" /admin//users
check trace-no-root 0 'site 2 rules: no configuration file (the site has no root)' --trace --site 2 "$s" /
check_same same-redirect --header 'Host: old.example' "$s" '/a?b=1'
check_same same-refusal "$s" /admin/users
check_same same-logged "$s" /p/7
check_same same-restarts --header 'Accept-Language: de-AT' "$s" '/x//y//z?q=1'
check_same same-other-site --site 2 "$s" /other
check_same same-secure --secure --header 'Accept-Language: en-GB' "$s" '//p/8'

check missing-dir 1 'vortane-try: no such directory:' "$dir/missing" /
check unknown-option 2 'vortane-try: unknown option --frobnicate' --frobnicate "$s" /
check bad-site 2 'vortane-try: bad site number' --site 0 "$s" /
check trace-value 2 'vortane-try: option --trace takes no value' --trace=yes "$s" /
check bad-header 2 'vortane-try: header without a name and colon' --header Host "$s" /
check no-url 2 'vortane-try: expected DIRECTORY and URL' "$s"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
