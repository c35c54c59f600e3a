#!/bin/sh
# Runs vortane-check on the shipped examples and on scratch files, and checks its exit
# statuses, its text format and --apply-hints.
# usage: vortane_check_test.sh PATH-OF-VORTANE-CHECK EXAMPLES-DIRECTORY MIGRATING.md
set -eu
check=$1
examples=$2
migrating=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

# expect NAME STATUS EXPECTED-OUTPUT ARGUMENT...: prints exactly that and exits with STATUS.
expect() {
  name=$1 status=$2 expected=$3
  shift 3
  rc=0
  out=$("$check" "$@" 2>&1) || rc=$?
  if [ "$rc" -ne "$status" ] || [ "$out" != "$expected" ]; then
    printf 'FAIL %s: exit %s (expected %s); printed, then expected:\n%s\n---\n%s\n' \
      "$name" "$rc" "$status" "$out" "$expected"
    failures=$((failures + 1))
  fi
}

# The examples as the filter loads them: the global file and every site of a sites.txt.
mkdir "$dir/server"
cp "$examples/httpd.ini" "$dir/server/"
printf '1 %s\n2 %s\n' "$examples/shop" "$examples/docs" >"$dir/server/sites.txt"
expect "examples" 0 "" --strict "$dir/server"

printf '[Vortane]\nRewriteRule ^/a$ /b [l]\n' >"$dir/error.ini"
printf '[Vortane]\nRewriteRule ^/a$ /b[L]\n' >"$dir/warning.ini"
expect "error" 1 "$dir/error.ini:2:22: error: flag letters are upper case [bad-flags]
  RewriteRule ^/a\$ /b [l]
                       ^
  hint: write L
1 error(s), 0 warning(s)" "$dir/error.ini"
expect "warning" 0 "$dir/warning.ini:2:20: warning: '[L]' is part of the substitution, not a flag list [flags-in-substitution]
  RewriteRule ^/a\$ /b[L]
                     ^
  hint: put a blank before the flag list
0 error(s), 1 warning(s)" "$dir/warning.ini"
rc=0
"$check" --strict "$dir/warning.ini" >/dev/null || rc=$?
[ "$rc" -eq 1 ] || { echo "FAIL strict: exit $rc"; failures=$((failures + 1)); }
rc=0
out=$("$check" --format=json "$dir/error.ini") || rc=$?
case $out in
*'"line": 2, "column": 22, "severity": "error"'*'"code": "bad-flags"'*) ;;
*) echo "FAIL json: $out"; failures=$((failures + 1)) ;;
esac

# Nothing is written beside the checked file.
[ ! -e "$dir/httpd.parse.errors" ] || { echo "FAIL wrote a report"; failures=$((failures + 1)); }

# Unusable arguments.
for args in "$dir/missing.ini" "--format=xml $dir/error.ini" "--strict"; do
  rc=0
  # shellcheck disable=SC2086
  "$check" $args >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 2 ] || { echo "FAIL arguments '$args': exit $rc"; failures=$((failures + 1)); }
done

# A path that is neither a regular file nor a directory is named for what it is, and no
# check of it blocks (a FIFO) or reads without end (/dev/zero).
mkfifo "$dir/fifo"
ln -s loop "$dir/loop"
for case in "fifo|$dir/fifo|not a regular file (a FIFO, device or socket)" \
            "device|/dev/zero|not a regular file (a FIFO, device or socket)" \
            "link loop|$dir/loop|too many levels of symbolic links" \
            "missing|$dir/missing.ini|no such file or directory"; do
  name=${case%%|*} rest=${case#*|}
  path=${rest%%|*} what=${rest#*|}
  rc=0
  out=$(timeout 10 "$check" "$path" 2>&1) || rc=$?
  case $out in
  *"$path: $what"*) [ "$rc" -eq 2 ] || { echo "FAIL $name: exit $rc"; failures=$((failures + 1)); } ;;
  *) echo "FAIL $name: exit $rc, printed: $out"; failures=$((failures + 1)) ;;
  esac
done

# Control bytes of a file never reach the terminal: a directive named with the sequence that
# sets a terminal's title is shown escaped, in the message as on the source line.
printf '[Vortane]\n\033]0;owned\007 x\n' >"$dir/title.ini"
expect "escaped" 1 "$dir/title.ini:2:1: error: unknown directive '\\x1b]0;owned\\x07' [unknown-directive]
  ?]0;owned? x
  ^
  hint: directives are RewriteRule, RewriteCond, RewriteHeader, CacheClockRate and RepeatLimit
1 error(s), 0 warning(s)" "$dir/title.ini"
if "$check" "$dir/title.ini" 2>&1 | LC_ALL=C grep -q "$(printf '\033')"; then
  echo "FAIL escaped: a raw ESC byte was printed"
  failures=$((failures + 1))
fi

# A site whose httpd.ini is missing or not a regular file runs without rules: said in a note
# on stderr, the exit status unchanged.
mkdir "$dir/notes" "$dir/fifo-site"
cp "$examples/httpd.ini" "$dir/notes/"
mkfifo "$dir/fifo-site/httpd.ini"
printf '2 %s\n3 %s\n' "$dir/no-site" "$dir/fifo-site" >"$dir/notes/sites.txt"
expect "site notes" 0 "vortane-check: note: $dir/no-site/httpd.ini: no such file or directory: site 2 runs without its rules
vortane-check: note: $dir/fifo-site/httpd.ini: not a regular file (a FIFO, device or socket): site 3 runs without its rules" \
  "$dir/notes"

# --apply-hints: the WordPress block of the migration guide, pasted as it is, comes out as the
# guide shows it, clean under --strict; a second file, JSON, or a missing file are unusable.
awk '$0 == "```apache {#wordpress file=www/.htaccess}" { inside = 1; next }
  inside && /^```$/ { exit } inside { print }' "$migrating" >"$dir/.htaccess"
expected=$(awk '/For the WordPress block above, pasted as it is:$/ { seen = 1; next }
  seen && $0 == "```text" { inside = 1; next } inside && /^```$/ { exit } inside { print }' \
  "$migrating")
[ -s "$dir/.htaccess" ] && [ -n "$expected" ] || {
  echo "FAIL: no WordPress block or no --apply-hints example in $migrating"
  failures=$((failures + 1))
}
expect "apply hints" 0 "$expected" --strict --apply-hints "$dir/.htaccess"
expect "apply hints, two files" 2 "vortane-check: --apply-hints takes one FILE, as text \
(run vortane-check --help for the options)" --apply-hints "$dir/.htaccess" "$dir/.htaccess"
expect "apply hints, no file" 2 "vortane-check: $dir/none: not a readable configuration file \
of at most 2 MiB (run vortane-check --help for the options)" --apply-hints "$dir/none"

[ "$failures" -eq 0 ] || exit 1
echo "vortane-check: all checks passed"
