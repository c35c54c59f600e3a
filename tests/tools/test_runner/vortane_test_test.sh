#!/usr/bin/env bash
# vortane-test end to end: a wrong expectation fails with its trace, mistakes in a test file
# are named, the JUnit report and the coverage, and the starter's commented tests hold once
# its examples are enabled.
# usage: vortane_test_test.sh PATH-OF-VORTANE-TEST SOURCE-DIR
set -uo pipefail
run=$1 source=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
  printf 'FAIL %s\n' "$1"
  [ -f "$dir/out" ] && sed 's/^/  | /' "$dir/out"
  failures=$((failures + 1))
}
# expect NAME STATUS TEXT... -- ARGUMENT...: exits with STATUS, prints a line holding each TEXT.
expect() {
  local name=$1 status=$2 texts=() rc=0
  shift 2
  while [ "$1" != -- ]; do texts+=("$1"); shift; done
  shift
  "$run" "$@" >"$dir/out" 2>&1 || rc=$?
  [ "$rc" -eq "$status" ] || { fail "$name: exit $rc, expected $status"; return; }
  for text in "${texts[@]}"; do
    grep -qF -- "$text" "$dir/out" || { fail "$name: no line with [$text]"; return; }
  done
}

mkdir "$dir/server"
cat >"$dir/server/httpd.ini" <<'INI'
[Vortane]
RewriteRule ^/help/(\w+)$ /help.asp\?topic=$1 [U]
RewriteRule ^/admin.*$ / [F]
RewriteRule ^/never$ /x
RewriteRule ^/unbalanced($ /x
INI
cat >"$dir/good.tests" <<'TESTS'
/help/faq => /help.asp?topic=faq log /help/faq
/admin => forbidden
TESTS
cat >"$dir/wrong.tests" <<'TESTS'
# the rule rewrites to topic=faq
/help/faq => /help.asp?topic=install
TESTS

expect pass 0 '2 tests, 0 failed' 'httpd.parse.errors lists lines of' -- "$dir/server" "$dir/good.tests"
expect wrong 1 'wrong.tests:2: /help/faq => expected passed /help.asp?topic=install; got passed /help.asp?topic=faq' \
  '3 tests, 1 failed' -- "$dir/server" "$dir/good.tests" "$dir/wrong.tests"
grep -q 'matched: \$0' "$dir/out" && fail "trace printed without --trace-failures"
expect trace 1 '      matched: $0 "/help/faq", $1 "faq"' -- --trace-failures "$dir/server" "$dir/wrong.tests"
expect coverage 1 'coverage: 2 of 3 rules matched' 'httpd.ini:2  2 requests' 'httpd.ini:3  1 request' \
  'httpd.ini:4  never reached' -- --coverage "$dir/server" "$dir/good.tests" "$dir/wrong.tests"

# JUnit: one testcase per test, the failure with its message and trace, escaped. The URL
# starts with the fixed text of line 4, so the index visits that rule and the trace shows it.
printf '"/never<&>\\x01" => /b\n' >"$dir/escape.tests"
expect junit 1 '3 tests, 1 failed' -- --junit "$dir/report.xml" "$dir/server" "$dir/good.tests" "$dir/escape.tests"
python3 - "$dir/report.xml" <<'PY' || fail "junit report"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
cases = root.findall("./testsuite/testcase")
assert root.get("tests") == "3" and root.get("failures") == "1", root.attrib
assert len(cases) == 3 and cases[0].find("failure") is None
failure = cases[2].find("failure")
assert cases[2].get("name") == '1: "/never<&>\\x01"', cases[1].get("name")
assert 'expected passed /b; got passed "/never<&>\\x01"' in failure.get("message"), failure.get("message")
assert 'target URL "/never<&>\\x01"' in failure.text, failure.text
PY

# Mistakes: named by file and line, nothing runs, status 2.
printf '/a => /a\n/b Host: => /b\n' >"$dir/bad.tests"
expect bad-file 2 'bad.tests:2: expected the header' -- "$dir/server" "$dir/good.tests" "$dir/bad.tests"
grep -q 'tests,' "$dir/out" && fail "bad-file: tests ran"
printf '/a => "/b\n' >"$dir/bad.tests"
expect bad-quote 2 "bad.tests:1: expected a closing '\"'" -- "$dir/server" "$dir/bad.tests"
expect no-directory 2 'no such directory' -- "$dir/none" "$dir/good.tests"
expect no-file 2 'none.tests: no such file or directory' -- "$dir/server" "$dir/none.tests"
expect usage 2 'usage: vortane-test' --
expect bad-site 2 'bad site number' -- --site-root 0=x "$dir/server" "$dir/good.tests"

# The JUnit report never replaces one of the run's inputs (under any name), nor a link, a FIFO
# (never waited on), a directory or a file with other hard links; each refusal has status 2
# and leaves the file as it was.
mkdir "$dir/reports"
ln "$dir/good.tests" "$dir/reports/hard-linked.tests"
ln -s ../good.tests "$dir/reports/link.xml"
mkfifo "$dir/reports/fifo.xml"
mkdir "$dir/reports/dir.xml"
printf 'other\n' >"$dir/reports/other.xml"
ln "$dir/reports/other.xml" "$dir/reports/other-link.xml"
cp "$dir/server/httpd.ini" "$dir/httpd.ini.before"
cp "$dir/good.tests" "$dir/good.tests.before"
for case in "config|$dir/server/httpd.ini|an input of this run" \
            "test file|$dir/good.tests|an input of this run" \
            "hard link to a test file|$dir/reports/hard-linked.tests|an input of this run" \
            "hard-linked file|$dir/reports/other.xml|has other hard links" \
            "link|$dir/reports/link.xml|is a symbolic link" \
            "fifo|$dir/reports/fifo.xml|not a regular file" \
            "directory|$dir/reports/dir.xml|is a directory"; do
  name=${case%%|*} rest=${case#*|}
  report=${rest%%|*} what=${rest#*|}
  rc=0
  timeout 20 "$run" --junit "$report" "$dir/server" "$dir/good.tests" >"$dir/out" 2>&1 || rc=$?
  [ "$rc" -eq 2 ] && grep -qF -- "$what" "$dir/out" || fail "junit onto $name: exit $rc, expected 2 and [$what]"
done
cmp -s "$dir/server/httpd.ini" "$dir/httpd.ini.before" || fail "junit: httpd.ini was overwritten"
cmp -s "$dir/good.tests" "$dir/good.tests.before" || fail "junit: good.tests was overwritten"
[ "$(cat "$dir/reports/other-link.xml")" = other ] || fail "junit: a hard-linked file was overwritten"

# The starter's commented tests are right once its examples are enabled.
mkdir "$dir/starter"
sed 's/^#\(Rewrite\|Repeat\)/\1/' "$source/examples/starter/httpd.ini" >"$dir/starter/httpd.ini"
# A test with commented tests right below it gives way to them.
awk '{ line[NR] = $0 }
     END { for (i = 1; i <= NR; i++) {
             if (line[i] ~ /^#(\/|[A-Z]+ )/) print substr(line[i], 2)
             else if (line[i] !~ /^#/ && line[i + 1] !~ /^#(\/|[A-Z]+ )/) print line[i] } }' \
  "$source/examples/starter/httpd.tests" >"$dir/starter/enabled.tests"
expect starter-enabled 0 '12 tests, 0 failed' -- "$dir/starter" "$dir/starter/enabled.tests"

[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
