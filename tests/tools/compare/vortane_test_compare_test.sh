#!/bin/sh
# vortane-test --compare end to end: two versions of the example server, one rule changed,
# replayed over a small access log in vortane-serve's format. The command and its whole
# output are the example of the administrator's document, so the two cannot drift apart.
# usage: vortane_test_compare_test.sh VORTANE-TEST EXAMPLE-SITE-DIR ACCESS-LOG DOCUMENT
# DOCUMENT holds the line "<!-- compare-example -->", and the fenced block after it is the
# example: "$ vortane-test ARGS" and then the output.
set -eu
program=$(realpath "$1") site=$(realpath "$2") log=$(realpath "$3")
document=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
  printf 'FAIL %s\n' "$*"
  failures=$((failures + 1))
}

example=$(awk '/^<!-- compare-example -->$/ { marked = 1; next }
               marked && /^```/ { if (inside) exit; inside = 1; next }
               inside' "$document")
[ -n "$example" ] || fail "$document holds no compare example"
command=$(printf '%s\n' "$example" | sed -n '1s/^\$ vortane-test //p')
expected=$(printf '%s\n' "$example" | sed 1d)

# The two directories as the document prepares them: copies of the example, each with its
# own site table, and in the new one the shop's catalogue redirect pointing elsewhere and
# taking /catalogue itself too.
cd "$dir"
for version in old new; do
  cp -R "$site" "$version"
  printf '1 %s/%s/shop\n2 %s/%s/docs\n' "$dir" "$version" "$dir" "$version" >"$version/sites.txt"
done
sed '6s|^RewriteRule ^/catalogue/(\.\*)\$ /products/\$1 \[I,R\]$|RewriteRule ^/catalogue(?:/(.*))?$ /shop/$1 [I,R]|' \
  old/shop/httpd.ini >new/shop/httpd.ini
cmp -s old/shop/httpd.ini new/shop/httpd.ini && fail "the example's rule to change was not found"
cp "$log" access.log

# run STATUS ARGUMENT...: vortane-test exits with STATUS; its output is left in $out.
run() {
  want=$1
  shift
  rc=0
  out=$("$program" "$@" 2>&1) || rc=$?
  [ "$rc" -eq "$want" ] || fail "vortane-test $*: exit $rc, expected $want: $out"
}

# shellcheck disable=SC2086 # the document's arguments are plain words
run 1 $command
[ "$out" = "$expected" ] || fail "$(printf 'the example prints, instead of the document:\n%s' "$out")"

# The same configuration twice: nothing differs.
run 0 --compare old old access.log
case $out in *"11 requests replayed, 0 differ"*) ;; *) fail "old against old: $out" ;; esac

# A URL list, for another site and with a host: the docs site has no catalogue rule.
printf '# a few addresses\n/catalogue/a\nhttp://example.com/catalogue/b?x=1\n' >urls.txt
run 1 --compare old new urls.txt
case $out in *"2 requests replayed, 2 differ"*) ;; *) fail "URL list: $out" ;; esac
run 0 --compare --site 2 old new urls.txt

# The example server's own test file, as requests: one of them meets the changed rule.
run 1 --compare old new old/httpd.tests
case $out in *"1 differ"*) ;; *) fail "test file: $out" ;; esac
case $out in *"  line "*": /catalogue/mugs"*) ;; *) fail "test file's line: $out" ;; esac

# Coverage of the new configuration over the log.
run 1 --compare --coverage old new access.log
case $out in *"new/shop/httpd.ini:6  5 requests"*) ;; *) fail "coverage: $out" ;; esac

# Arguments that cannot be used, and a test file with a mistake.
printf '/a =>\n' >bad.tests
run 2 --compare old new
run 2 --compare old missing access.log
run 2 --compare old new missing.log
run 2 --compare old new .
run 2 --compare old new bad.tests
run 2 --compare --site 0 old new access.log

[ "$failures" -eq 0 ] || exit 1
