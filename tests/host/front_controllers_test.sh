#!/usr/bin/env bash
# The three front-controller rule sets of docs/migrating.md, served by Apache httpd as their
# original .htaccess (and server rules) and by vortane-serve as translated there, answer the
# same requests alike: status, Location (the scheme and host of an absolute one dropped) and,
# for 200, which file answered. The blocks are read from the document itself, so it cannot
# drift from what is compared. A difference fails unless it is one the document names: a
# Location that spells the same address otherwise (spelled_alike), or a request listed in
# documented_differences, which must then be answered on each side as listed. Apache
# missing fails too.
#
# The original .htaccess, pasted as it is and turned into a site's rules by following every
# hint of vortane-check (--apply-hints), must come out clean under --strict and answer every
# request as the document's translation does (a Location may be spelled otherwise).
# usage: front_controllers_test.sh PATH-OF-VORTANE-SERVE MIGRATING.md
set -euo pipefail
export VORTANE_BUILD_DIR
VORTANE_BUILD_DIR=$(cd "$(dirname "$1")" && pwd)
document=$2
source "$(dirname "$0")/../../bench/load/common.sh"

command -v curl >/dev/null || fail "curl is missing (bash scripts/setup.sh installs it)"
[ -x "$apache_bin" ] || fail "$apache_bin is missing (bash scripts/setup.sh installs apache2-bin)"
[ -x "$serve_bin" ] || fail "$serve_bin is not built"
check_bin=$VORTANE_BUILD_DIR/vortane-check
[ -x "$check_bin" ] || fail "$check_bin is not built"

work=$(mktemp -d)
chmod 755 "$work"  # Apache's workers (nobody) read the site under it
trap 'cleanup_servers; rm -rf "$work"' EXIT

# block FENCE: the lines of the document's code block opened by the line FENCE exactly.
block() {
  awk -v fence="$1" '
    $0 == fence { inside = 1; found = 1; next }
    inside && /^```$/ { exit }
    inside { print }
    END { if (!found) exit 1 }' "$document" || fail "no block $1 in $document"
}

# The site: files that answer with their own path, folders with and without an index, and
# the places the three rule sets treat specially.
make_site() {
  local root=$1 file
  mkdir -p "$root"
  for file in index.php robots.txt autoload.php css/app.css docs/index.html docs/guide.html \
    wp-admin/index.php wp-content/themes/style.css core/install.php core/rebuild.php \
    core/lib/Drupal.php modules/contact/contact.php .well-known/acme-challenge/token \
    .git/config "a b/index.html" "café.txt"; do
    mkdir -p "$(dirname "$root/$file")"
    printf 'file /%s\n' "$file" >"$root/$file"
  done
  mkdir -p "$root/empty" "$root/wp-content/uploads"
  chmod -R a+rX "$root"
}

# The requests, one a line: a URL sent as it is, then optionally " Host: NAME".
requests() {
  cat <<'EOF'
/
/?p=12
/index.php
/index.php?x=1
/INDEX.PHP
/index.php/extra
/robots.txt
/robots.txt?v=2
/Robots.txt
/missing
/missing/page?p=1&q=2
/missing/
/missing//
/hello%20world
/caf%C3%A9
/caf%C3%A9.txt
/x%7Ey/
/a%23b
/a%25b
/css/app.css
/css/app%2Ecss
/CSS/APP.CSS
/css
/css/
/css?x=1
/docs
/docs/
/docs/?x=1
/docs/guide.html
/docs/guide.html/
/docs/missing.html
/empty
/empty/
/a%20b/
/a%20b
//css//app.css
/docs/./guide.html
/missing/../robots.txt
/wp-admin
/wp-admin/
/wp-content/themes/style.css
/wp-content/uploads/
/wp-content/uploads/2024/photo-300x200.jpg
/2024/05/hello-world/
/feed/?paged=2
/install.php
/install.php?profile=standard
/sub/install.php?a=1
/rebuild.php
/core/install.php
/core/install.php?langcode=en
/core/rebuild.php
/core/lib/Drupal.php
/core/lib/DRUPAL.PHP
/core/lib/missing.php
/modules/contact/contact.php
/modules/contact/contact.php/x
/modules/contact/missing.php
/autoload.php
/.git/config
/.git/
/.git
/.hidden
/docs/.hidden
/.well-known/acme-challenge/token
/.well-known/acme-challenge/missing
/.well-known/
/favicon.ico
/favicon%2eico
/node/1/
/node/1?destination=/admin/
/ Host: www.example.com
/docs/guide.html?x=1 Host: www.example.com
/missing/ Host: WWW.example.com
/caf%C3%A9 Host: www.example.com
EOF
}

# The requests that docs/migrating.md says are answered otherwise ("What still differs"):
# EXAMPLE, URL, Apache's answer and vortane-serve's, separated by tabs. Each server must
# answer as written; the other examples compare these URLs as usual.
documented_differences() {
  local t=$'\t'
  cat <<EOF
wordpress${t}/docs/guide.html/${t}404 | ${t}200 | file /index.php
wordpress${t}/modules/contact/contact.php/x${t}200 | file /modules/contact/contact.php${t}200 | file /index.php
drupal${t}/docs/guide.html/${t}404 | ${t}200 | file /index.php
drupal${t}/modules/contact/contact.php/x${t}403 | ${t}200 | file /index.php
drupal${t}/wp-admin/${t}403 | ${t}200 | file /wp-admin/index.php
laravel${t}/modules/contact/contact.php/x${t}200 | file /modules/contact/contact.php${t}200 | file /index.php
EOF
}
declare -A expected_apache=() expected_filter=()
while IFS=$'\t' read -r example url apache filter; do
  expected_apache["$example $url"]=$apache
  expected_filter["$example $url"]=$filter
done < <(documented_differences)

# answer PORT URL HOST: "STATUS LOCATION | BODY", the location without "http://HOST", the
# body only for 200.
answer() {
  local port=$1 url=$2 host=$3 head status location body=
  head=$(curl -s --path-as-is --max-time 10 -o "$work/body" -D - -H "Host: $host" \
    "http://127.0.0.1:$port$url" | tr -d '\r') || true
  status=$(printf '%s\n' "$head" | awk 'NR == 1 { print $2 }')
  location=$(printf '%s\n' "$head" | sed -n 's/^[Ll]ocation: *//p')
  location=${location#"http://$host"}
  [ "$status" = 200 ] && body=$(head -c 200 "$work/body")
  printf '%s%s | %s' "${status:-none}" "${location:+ $location}" "$body"
}

# The bytes a client may read either escaped or raw: letters, digits, "-", ".", "_", "~".
unreserved_script=
for byte in {A..Z} {a..z} {0..9} - . _ '~'; do
  printf -v hex '%02X' "'$byte"
  unreserved_script+="s/%$hex/$byte/g;"
done

# canonical LOCATION: the address a client makes of a Location: escapes in upper case,
# unreserved bytes unescaped, runs of "/" merged, "." and ".." resolved in the path.
canonical() {
  local location=$1 path query= segment
  [[ $location == *\?* ]] && query=?${location#*\?}
  path=$(printf '%s' "${location%%\?*}" | sed -E 's/%([0-9a-fA-F]{2})/%\U\1/g' |
    sed "$unreserved_script")
  local -a segments=() kept=()
  IFS=/ read -ra segments <<<"$path"
  for segment in "${segments[@]}"; do
    case $segment in
      "" | .) ;;
      ..) [ "${#kept[@]}" -gt 0 ] && unset 'kept[-1]' ;;
      *) kept+=("$segment") ;;
    esac
  done
  local joined
  joined=$(IFS=/ && printf '/%s' "${kept[*]}")
  [[ $path == */ || $path == */. || $path == */.. ]] && [ "$joined" != / ] && joined+=/
  printf '%s%s' "$joined" "$query"
}

# spelled_alike A B: whether the two answers differ only in how their Location spells one
# address, the difference docs/migrating.md names first under "What still differs".
spelled_alike() {
  local a=$1 b=$2
  [[ $a =~ ^(30[1-8])\ ([^ ]*)\ \|\ $ ]] || return 1
  local status=${BASH_REMATCH[1]} location_a=${BASH_REMATCH[2]}
  [[ $b =~ ^$status\ ([^ ]*)\ \|\ $ ]] || return 1
  [ "$(canonical "$location_a")" = "$(canonical "${BASH_REMATCH[1]}")" ]
}
grep -qF '**`Location` is what the rule writes.**' "$document" ||
  fail "$document no longer names the spelling of Location as a difference"

passed=0
failed=0
for example in wordpress drupal laravel; do
  dir=$work/$example
  mkdir -p "$dir/apache" "$dir/filter" "$dir/hinted"
  make_site "$dir/apache/www"
  make_site "$dir/filter/www"
  make_site "$dir/hinted/www"
  block "\`\`\`apache {#$example file=www/.htaccess}" >"$dir/apache/www/.htaccess"
  chmod a+r "$dir/apache/www/.htaccess"
  block "\`\`\`ini {#$example file=www/httpd.ini}" >"$dir/filter/www/httpd.ini"
  apache_rules=none
  if [ "$example" = laravel ]; then
    # The global rules: Apache's in the server's configuration, the filter's global file.
    block "\`\`\`apache {#laravel file=server.conf}" >"$dir/apache/server.conf"
    apache_rules=$dir/apache/server.conf
    block "\`\`\`ini {#laravel}" >"$dir/filter/httpd.ini"
  else
    printf '[Vortane]\n' >"$dir/filter/httpd.ini"
  fi

  if ! "$check_bin" --strict --apply-hints "$dir/apache/www/.htaccess" \
    >"$dir/hinted/www/httpd.ini" 2>"$dir/hints.log"; then
    failed=$((failed + 1))
    printf 'FAIL %s: the .htaccess with every hint applied is not clean:\n' "$example"
    cat "$dir/hinted/www/httpd.ini" "$dir/hints.log"
  fi

  port=$(free_port)
  write_apache_conf "$dir/apache" "$port" "$dir/apache/www" 4 "$apache_rules" "" index.php index.html
  start_apache "$dir/apache" "$port"
  apache_port=$port
  start_serve "$dir/serve.log" 2 "" "$dir/filter" --site "1=127.0.0.1:0:$dir/filter/www" \
    --site "2=127.0.0.1:0:$dir/hinted/www" \
    --threads 2 --default-document index.php --default-document index.html
  filter_port=$(sed -n 's/^site 1 listening on [^ ]*:\([0-9][0-9]*\),.*/\1/p' "$dir/serve.log")
  hinted_port=$(sed -n 's/^site 2 listening on [^ ]*:\([0-9][0-9]*\),.*/\1/p' "$dir/serve.log")

  while IFS= read -r line; do
    url=${line%% *} host=example.com
    [ "$url" != "$line" ] && host=${line#* Host: }
    from_apache=$(answer "$apache_port" "$url" "$host")
    from_filter=$(answer "$filter_port" "$url" "$host")
    from_hinted=$(answer "$hinted_port" "$url" "$host")
    if [ "$from_hinted" = "$from_filter" ] || spelled_alike "$from_filter" "$from_hinted"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      printf 'FAIL %s: %s (Host: %s), the hints applied\n  translation:   %s\n  hints:         %s\n' \
        "$example" "$url" "$host" "$from_filter" "$from_hinted"
    fi
    key="$example $url"
    if [ -n "${expected_apache[$key]+x}" ]; then
      if [ "$from_apache" = "${expected_apache[$key]}" ] &&
        [ "$from_filter" = "${expected_filter[$key]}" ]; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        printf 'FAIL %s: %s does not differ as documented\n' "$example" "$url"
        printf '  Apache:        %s (documented: %s)\n' "$from_apache" "${expected_apache[$key]}"
        printf '  vortane-serve: %s (documented: %s)\n' "$from_filter" "${expected_filter[$key]}"
      fi
    elif [ "$from_apache" = "$from_filter" ] || spelled_alike "$from_apache" "$from_filter"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      printf 'FAIL %s: %s (Host: %s)\n  Apache:        %s\n  vortane-serve: %s\n' "$example" \
        "$url" "$host" "$from_apache" "$from_filter"
    fi
  done < <(requests)

  for report in "$dir/filter/www/httpd.parse.errors" "$dir/hinted/www/httpd.parse.errors"; do
    if [ -s "$report" ]; then
      failed=$((failed + 1))
      printf 'FAIL %s: the filter did not load %s cleanly:\n' "$example" "$(dirname "$report")"
      cat "$report"
    fi
  done
  stop_serve "$serve_pid"
  stop_apache "$apache_pid"
done

printf '%d requests answered alike, %d differ\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
