#!/usr/bin/env bash
# Makes the release package into a scratch folder and checks it: one top folder named like the
# package, holding exactly the filter library, the tools, the starter httpd.ini and its
# httpd.tests, README.md,
# docs/ as in the source tree, LICENSE and SHA256SUMS; the copied files equal their sources,
# SHA256SUMS lists every other file with its right hash, and the library's interface holds.
#   check_package.sh CPACK CPACK_CONFIG SOURCE_DIR PACKAGE_NAME OBJDUMP TOOL.exe...
set -euo pipefail
cpack=$1 config=$2 source=$3 name=$4 objdump=$5
shift 5
tools=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "release package: $*"; exit 1; }

if ! "$cpack" -G ZIP --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; fail "cpack failed"
fi
zip="$work/out/$name.zip"
[ -f "$zip" ] || fail "no $name.zip; made: $(ls "$work/out")"
(cd "$work/out" && sha256sum -c --quiet "$name.zip.sha256") || fail "the package's .sha256 is wrong"

mkdir "$work/x"
(cd "$work/x" && cmake -E tar xf "$zip")
[ "$(ls -A "$work/x")" = "$name" ] || fail "top level is not one folder $name: $(ls -A "$work/x")"
cd "$work/x/$name"

expected=$( {
  printf '%s\n' vortane.dll "${tools[@]}" httpd.ini httpd.tests README.md LICENSE SHA256SUMS
  (cd "$source" && find docs -type f)
} | sort)
found=$(find . -type f -printf '%P\n' | sort)
if [ "$found" != "$expected" ]; then
  echo "expected:"; echo "$expected"; echo "found:"; echo "$found"; fail "the files differ"
fi

cmp httpd.ini "$source/examples/starter/httpd.ini" || fail "httpd.ini is not the starter file"
cmp httpd.tests "$source/examples/starter/httpd.tests" || fail "httpd.tests is not the starter's"
for f in README.md LICENSE $(cd "$source" && find docs -type f); do
  cmp "$f" "$source/$f" || fail "$f differs from the source tree"
done
grep -q '^\[Vortane\]$' httpd.ini || fail "httpd.ini has no section header"
grep -q 'Apache License' LICENSE && grep -q 'Version 2.0, January 2004' LICENSE ||
  fail "LICENSE is not the Apache License 2.0"

listed=$(sed 's/^[0-9a-f]\{64\}  //' SHA256SUMS)
[ "$listed" = "$(grep -vx SHA256SUMS <<<"$expected")" ] ||
  fail "SHA256SUMS does not list every other file: $listed"
sha256sum -c --strict --quiet SHA256SUMS || fail "SHA256SUMS does not match"

bash "$source/tests/filter/check_library.sh" vortane.dll "$objdump"
for tool in "${tools[@]}"; do
  "$objdump" -f "$tool" | grep -q 'file format pei-x86-64' || fail "$tool is not a Windows x64 program"
done
# The packaged checker runs on the Windows build's own machine (under Wine here): the starter
# file checks clean, and a mistake is explained.
if [[ " ${tools[*]} " == *" vortane-check.exe "* ]]; then
  export WINEDEBUG=-all
  wine ./vortane-check.exe --strict httpd.ini >"$work/clean.txt" 2>&1 ||
    { cat "$work/clean.txt"; fail "vortane-check.exe finds fault with the starter httpd.ini"; }
  printf '[Vortane]\r\nRewriteRule ^/a$ /b [NC]\r\n' >"$work/bad.ini"
  status=0
  wine ./vortane-check.exe "$(winepath -w "$work/bad.ini" 2>/dev/null)" >"$work/bad.txt" 2>&1 ||
    status=$?
  [ "$status" -eq 1 ] && grep -q "error: 'NC' is no flag here \[bad-flags\]" "$work/bad.txt" ||
    { cat "$work/bad.txt"; fail "vortane-check.exe did not explain a bad flag (exit $status)"; }
fi
# The packaged test runner passes the starter's tests in the package folder, as an
# administrator runs them.
if [[ " ${tools[*]} " == *" vortane-test.exe "* ]]; then
  export WINEDEBUG=-all
  wine ./vortane-test.exe . httpd.tests >"$work/tests.txt" 2>&1 || true
  grep -q '^[0-9]* tests, 0 failed' "$work/tests.txt" ||
    { cat "$work/tests.txt"; fail "vortane-test.exe did not pass the starter's tests"; }
  rm -f httpd.parse.errors
fi
echo "release package ok: $name.zip, $(wc -l <<<"$found") files"
