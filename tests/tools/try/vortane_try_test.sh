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
RewriteRule ^/go/([^?]*)$ http://example.com/$1 [O,R]
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

# trace ARGUMENT...: the trace vortane-try --trace prints, from "trace:" to the last indented
# line after it; rest ARGUMENT...: what it prints after the trace.
trace() { "$try" --trace "$@" 2>&1 | awk '/^trace:$/ { on = 1 } on && !/^(trace:|  )/ { on = 0 } on'; }
rest() { "$try" --trace "$@" 2>&1 | awk '/^trace:$/ { on = 1 } on && !/^(trace:|  )/ { on = 0 } !on'; }

# check_same NAME EXPECTED ACTUAL: the two texts are the same.
check_same() {
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s: expected, then printed:\n%s\n---\n%s\n' "$1" "$2" "$3"
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
# What the filter writes never carries a control byte raw; no URL is too long to be read
# whole up to 64 KiB, and a longer one is answered rather than passed on unread.
check location-escaped 0 'Location: http://example.com/x%0D%0ASet-Cookie:%20a=1\r\n' \
  "$s" '/go/x%0d%0aSet-Cookie:%20a=1'
long=$(printf '%05000d' 0)
check long-url 0 "GET /p.asp?id=$long HTTP/1.1|X-Rewrite-URL: /p/$long (added)" "$s" "/p/$long"
check too-long 0 'HTTP/1.1 414 Request-URI Too Long\r\n' "$s" "/$(printf '%070000d' 0)"
# A range from an escape holds LF ("[\t-~]" runs from 0x09): the condition's pattern may run
# on into the URL, so the rule refuses this request although the User-Agent ends in no "bot".
mkdir "$dir/range"
cat >"$dir/range/httpd.ini" <<'INI'
[Vortane]
RewriteCond User-Agent: [\t-~]*bot
RewriteRule /private/.* / [O,F]
INI
check range-from-escape 0 'HTTP/1.1 403 Forbidden\r\n' \
  --header 'User-Agent: Mozilla' "$dir/range" '/bot%0A/private/x'

# Traces. Site 1 now has its root in the table.
check_same trace-redirect "trace:
  global rules: $s/httpd.ini (5 rules, repeat limit 2)
  sweep 1
    line 3: URL [R]
      condition (line 2) Host: \"old.example\"
      target URL \"/a\"
      matched: \$0 \"old.example\\n/a\", \$1 \"/a\"
      wrote URL \"http://new.example/a\" (accepted)
      result Matched|Stop|Redirect; pass Matched|Stop|Redirect
  end (stopped): Matched|Stop|Redirect
  no site pass: the global result answered or stopped the request" \
  "$(trace --header 'Host: old.example' "$s" /a)"
check trace-restarts 0 'matched: $0 "/x/y//z", $1 "/x/y", $2 "z"|restart: sweep 2 of at most 2|no restart: 2 sweeps, the repeat limit, have run|end (after the last rule): Matched|NoMatch|Restart|site 1 rules:|line 2: Accept-Language:' \
  --trace "$s" '/x//y//z'
check trace-refusal 0 'nothing written (refusal)|end (stopped): Matched|NoMatch|Stop|Forbidden' \
  --trace "$s" /admin//users
# A rule whose own pattern refuses the URL reads none of its conditions.
check trace-not-read 0 'condition (line 2) Host: (not read)|target URL "x"|no match: result NoMatch' \
  --trace "$s" x
check trace-no-root 0 'site 2 rules: no configuration file (the site has no root)' --trace --site 2 "$s" /
# The traced run prints what the library run prints.
check_same same-redirect "$("$try" --header 'Host: old.example' "$s" /a 2>&1)" "$(rest --header 'Host: old.example' "$s" /a)"
check_same same-logged "$("$try" "$s" /p/7 2>&1)" "$(rest "$s" /p/7)"
check_same same-restarts "$("$try" --header 'Accept-Language: de-AT' "$s" '/x//y//z?q=1' 2>&1)" \
  "$(rest --header 'Accept-Language: de-AT' "$s" '/x//y//z?q=1')"
check_same same-refusal "$("$try" --secure --site 2 "$s" /admin 2>&1)" "$(rest --secure --site 2 "$s" /admin)"
check missing-dir 1 'vortane-try: no such directory:' "$dir/missing" /
check unknown-option 2 'vortane-try: unknown option --frobnicate' --frobnicate "$s" /
check bad-site 2 'vortane-try: bad site number' --site 0 "$s" /
check trace-value 2 'vortane-try: option --trace takes no value' --trace=yes "$s" /
check bad-header 2 'vortane-try: header without a name and colon' --header Host "$s" /
check no-url 2 'vortane-try: expected DIRECTORY and URL' "$s"

# Files the tool writes are replaced, never written through a link planted under the name of
# the old fixed temporary file; a link or FIFO as sites.txt is refused, never read without end
# nor waited on. Memory is capped so that a read of /dev/zero fails fast rather than fill it.
printf 'precious\n' >"$dir/victim"
mkdir "$dir/planted"
cp "$dir/server/httpd.ini" "$dir/planted/"
ln -s ../victim "$dir/planted/sites.txt.partial"
ln -s ../victim "$dir/planted/vortane.so.partial"
check planted-partial 0 'request passed on:' --site-root "2=$dir/site" "$dir/planted" /a
[ "$(cat "$dir/victim")" = precious ] || { echo "FAIL planted-partial: the victim was overwritten"; failures=$((failures + 1)); }
grep -q "^2 $dir/site\$" "$dir/planted/sites.txt" || { echo "FAIL planted-partial: sites.txt not written"; failures=$((failures + 1)); }
# Runs a command with its memory bounded (about 1 GB), so that a read without bounds fails
# instead of exhausting the machine. An ASan build reserves far more address space than that
# for its shadow memory, so there the allocator's own limit stands in for ulimit -v.
if grep -qa __asan_init "$try"; then
  bounded() { ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}malloc_limit_mb=1000" "$@"; }
else
  bounded() { (ulimit -v 1000000 && "$@"); }
fi
for case in "zero|ln -s /dev/zero|not a regular file (a FIFO, device or socket)" \
            "fifo|mkfifo|not a regular file (a FIFO, device or socket)" \
            "link|ln -s ../victim|is a symbolic link: not written"; do
  name=${case%%|*} rest=${case#*|}
  make=${rest%%|*} what=${rest#*|}
  rm -rf "$dir/bad-table" && mkdir "$dir/bad-table"
  (cd "$dir/bad-table" && $make sites.txt)
  rc=0
  out=$(bounded timeout 20 "$try" --site-root "2=$dir/site" "$dir/bad-table" /a 2>&1) || rc=$?
  case $out in
  *"sites.txt"*"$what"*) [ "$rc" -eq 1 ] || { echo "FAIL sites-$name: exit $rc"; failures=$((failures + 1)); } ;;
  *) echo "FAIL sites-$name: exit $rc, printed: $out"; failures=$((failures + 1)) ;;
  esac
done
[ "$(cat "$dir/victim")" = precious ] || { echo "FAIL sites-link: the victim was overwritten"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
