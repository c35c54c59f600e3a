#!/usr/bin/env bash
# Runs every example of the administrator's documents against the built filter, so that the
# documents cannot drift from the program.
# usage: docs_examples_test.sh PATH-OF-VORTANE-TRY [--test PATH-OF-VORTANE-TEST] DOCUMENT.md...
#
# The documents mark their examples with fenced code blocks, read in document order:
#
#   ```ini {#NAME}                 a configuration file of the example NAME, written to
#   ```ini {#NAME file=PATH}       PATH (default httpd.ini, the global file) in NAME's own
#                                  scratch directory; blocks of one NAME share the directory.
#   ```LANG {#NAME file=PATH}      any other file of the example, such as sites.txt.
#   ```vortane-try                 runs of the latest example: each line "$ vortane-try ARGS"
#                                  (shell words; the directory argument is ".", run inside the
#                                  example's directory) is followed by lines that vortane-try
#                                  must print, in that order, others may come between them.
#                                  The scratch directory's path prints as ".".
#   ```vortane-test                the same for runs of vortane-test: "$ vortane-test ARGS".
#   ```httpd.parse.errors          the whole report that the latest example's last run left
#   ```httpd.parse.errors {file=PATH}   (default httpd.parse.errors): every line ends in CR LF
#                                  there; an empty block is an empty report.
#
# An ini block without a name, or an example that no vortane-try block runs, fails the test.
# Every report message documented as a "### `...`" heading under "## Report messages" (with
# <n>, <m> for line numbers, <digits> for digits as written and <line> for a line's text) must match a line of a checked report;
# the 2 MiB line-cut message, whose sample file is too large for a document, is produced
# here from a generated file.
set -uo pipefail

try=$(realpath "$1")
shift
tester=
if [ "${1:-}" = --test ]; then
  tester=$(realpath "$2")
  shift 2
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  printf 'FAIL %s\n' "$*"
  failures=$((failures + 1))
}

seen_reports="$scratch/reports-seen"
: >"$seen_reports"
declare -A example_runs=()

# A relative path inside the example's directory, or nothing.
safe_path() {
  case "/$1/" in
  *'/../'* | *'//'*) return 1 ;;
  esac
  [ "${1#/}" = "$1" ]
}

# run_try WHERE DIR BLOCK-FILE [TOOL PATH]: the runs of one block of the tool (default
# vortane-try).
run_try() {
  local where=$1 dir=$2 block=$3 tool=${4:-vortane-try} program=${5:-$try}
  local cmd= expected="$scratch/expected" output="$scratch/output"
  local absolute
  absolute=$(cd "$dir" && pwd -P)
  flush() {
    [ -n "$cmd" ] || return 0
    local -a args
    eval "args=($cmd)"
    local out
    out=$(cd "$dir" && "$program" "${args[@]}" 2>&1)
    printf '%s\n' "${out//"$absolute"/.}" >"$output"
    local missing
    if ! missing=$(awk 'NR == FNR { want[++n] = $0; next }
                        i < n && $0 == want[i + 1] { i++ }
                        END { if (i < n) { print want[i + 1]; exit 1 } }' "$expected" "$output"); then
      fail "$where: $tool $cmd: missing (in order) the line: $missing"
      sed 's/^/  | /' "$output"
    fi
    cmd=
  }
  : >"$expected"
  while IFS= read -r line; do
    if [ "${line#"\$ $tool "}" != "$line" ]; then
      flush
      cmd=${line#"\$ $tool "}
      : >"$expected"
    elif [ -n "$cmd" ]; then
      printf '%s\n' "$line" >>"$expected"
    elif [ -n "$line" ]; then
      fail "$where: a line before the first \"\$ $tool\": $line"
    fi
  done <"$block"
  flush
}

# check_report WHERE FILE BLOCK-FILE: the report is the block, each line ending in CR LF.
check_report() {
  local where=$1 file=$2 block=$3
  if [ ! -f "$file" ]; then
    fail "$where: no report $file"
    return
  fi
  if ! cmp -s <(sed 's/$/\r/' "$block") "$file"; then
    fail "$where: the report differs (expected, then written):"
    sed 's/^/  | /' "$block"
    sed 's/^/  > /' "$file" | cat -A | sed 's/\^M\$$//'
    return
  fi
  cat "$block" >>"$seen_reports"
}

for doc in "$@"; do
  number=0 fence= indent= example= dir=
  while IFS= read -r line; do
    number=$((number + 1))
    if [ -z "$fence" ]; then
      if [[ $line =~ ^(\ *)\`\`\`(.*)$ ]]; then
        indent=${#BASH_REMATCH[1]} fence=${BASH_REMATCH[2]:-plain} start=$number
        : >"$scratch/block"
      fi
      continue
    fi
    if [[ ! $line =~ ^\ *\`\`\`$ ]]; then
      # Content: the fence's own indentation is not part of it.
      for ((i = 0; i < indent; i++)); do line=${line# }; done
      printf '%s\n' "$line" >>"$scratch/block"
      continue
    fi
    where="$(basename "$doc"):$start"
    case $fence in
    *'{#'*)
      if [[ $fence =~ ^([A-Za-z0-9._-]+)\ \{#([A-Za-z0-9_-]+)(\ file=([^ }]+))?\}$ ]] &&
        { [ "${BASH_REMATCH[1]}" = ini ] || [ -n "${BASH_REMATCH[4]}" ]; }; then
        example=${BASH_REMATCH[2]}
        file=${BASH_REMATCH[4]:-httpd.ini}
        dir="$scratch/examples/$example"
        if ! safe_path "$file"; then
          fail "$where: file=$file leaves the example's directory"
        else
          mkdir -p "$(dirname "$dir/$file")"
          cp "$scratch/block" "$dir/$file"
          [ -n "${example_runs[$example]+x}" ] || example_runs[$example]=0
        fi
      else
        fail "$where: a malformed example tag: $fence"
      fi
      ;;
    ini*)
      fail "$where: an ini block without {#NAME}: it would not be tested"
      ;;
    vortane-try)
      if [ -z "$example" ]; then
        fail "$where: vortane-try before any example"
      else
        run_try "$where" "$dir" "$scratch/block"
        example_runs[$example]=$((example_runs[$example] + 1))
      fi
      ;;
    vortane-test)
      if [ -z "$example" ] || [ -z "$tester" ]; then
        fail "$where: vortane-test before any example, or without --test"
      else
        run_try "$where" "$dir" "$scratch/block" vortane-test "$tester"
        example_runs[$example]=$((example_runs[$example] + 1))
      fi
      ;;
    httpd.parse.errors*)
      file=httpd.parse.errors
      if [[ $fence =~ ^httpd\.parse\.errors\ \{file=([^ }]+)\}$ ]]; then file=${BASH_REMATCH[1]}; fi
      if [ -z "$example" ] || ! safe_path "$file"; then
        fail "$where: a report block without an example, or outside its directory"
      else
        check_report "$where" "$dir/$file" "$scratch/block"
      fi
      ;;
    esac
    fence=
  done <"$doc"
  [ -z "$fence" ] || fail "$(basename "$doc"): a code block opened on line $start is not closed"
done

for example in "${!example_runs[@]}"; do
  [ "${example_runs[$example]}" -gt 0 ] || fail "example $example is never run"
done

# The line-cut message needs a file larger than 2 MiB: a header, a comment up to a few bytes
# before the limit, then a rule that the limit cuts.
cut="$scratch/line-cut"
mkdir "$cut"
{
  printf '[Vortane]\n#'
  head -c $((2097152 - 10 - 2 - 8)) /dev/zero | tr '\0' x
  printf '\nRewriteRule ^/x$ /y [F]\n'
} >"$cut/httpd.ini"
(cd "$cut" && "$try" . /x >/dev/null 2>&1)
tr -d '\r' <"$cut/httpd.parse.errors" >>"$seen_reports"

# The unreadable-file message needs a file the tool cannot read: mode 000 and, for root (whom
# permissions do not stop), the tool run as the user nobody.
denied="$scratch/denied"
mkdir "$denied"
printf '[Vortane]\n' >"$denied/httpd.ini"
chmod 000 "$denied/httpd.ini"
as_other=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 711 "$scratch"
  chmod 777 "$denied"
  as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
(cd "$denied" && "${as_other[@]}" "$try" . /x >/dev/null 2>&1) || true
[ -f "$denied/httpd.parse.errors" ] && tr -d '\r' <"$denied/httpd.parse.errors" >>"$seen_reports"

# Every documented report message matches a line of a checked report.
messages=$(awk '/^## / { on = ($0 == "## Report messages") }
                on && /^### `.*`$/ { print substr($0, 6, length($0) - 6) }' "$@")
[ -n "$messages" ] || fail "no report messages documented under \"## Report messages\""
while IFS= read -r message; do
  [ -n "$message" ] || continue
  pattern=$(printf '%s\n' "$message" | sed -e 's/[][\.*^$+?(){}|/]/\\&/g' \
    -e 's/<n>/[0-9]+/g; s/<m>/[0-9]+/g; s/<digits>/[0-9]+/g; s/<line>/.*/g; s/<why>/.*/g')
  grep -Eq "^$pattern\$" "$seen_reports" ||
    fail "the documented report message \"$message\" is in no checked report"
done <<<"$messages"

if [ "$failures" -ne 0 ]; then
  printf '%d failure(s)\n' "$failures"
  exit 1
fi
printf 'all %d examples ran as documented\n' "${#example_runs[@]}"
