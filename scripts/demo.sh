#!/usr/bin/env bash
# Builds the filter library and vortane-try, and runs requests through the example server
# (examples/site: global rules in httpd.ini, the shop site's rules in shop/httpd.ini).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VORTANE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target vortane vortane-try vortane-match

# vortane-try copies the library into the directory it is given and writes the site table
# and parse reports there: work on a copy, so the examples stay clean.
site=$build/example-site
rm -rf "$site"
cp -r examples/site "$site"

try() {
  printf '\n$ vortane-try'
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./=:-]+$ ]]; then printf ' %s' "$arg"; else printf " '%s'" "$arg"; fi
  done
  printf '\n'
  "$build"/vortane-try "$@"
}
# A product page rewritten for the server, the visitor's query kept; X-Rewrite-URL carries
# the URL as sent. The first request also writes site 1's root into the site table.
try --site-root 1="$site/shop" "$site" '/products/42/blue-mug?ref=mail'
# The canonical host: www.example.com is redirected to example.com (302).
try --header 'Host: WWW.example.com' "$site" '/products/42?ref=mail'
# A probe for software the server does not run is refused (403).
try "$site" '/wp-login.php?action=register'
# A help page rewritten with U: the log shows the address the visitor asked for.
try "$site" '/help/shipping'
# Header rules: a regional language variant cut to the language, an API version added.
try --header 'Accept-Language: en-GB,en;q=0.8' "$site" '/api/orders'
# The same request handling traced: the slash clean-up restarts the global pass, then the
# shop's product rule stops the site's pass.
try --trace "$site" '//products//42?ref=mail'

# vortane-match tries one pattern on its own. Catastrophic backtracking is stopped after
# half a second.
printf '\n$ vortane-match "(x+x+)+y" followed by 3000 z, against 40 x\n'
time "$build"/vortane-match "(x+x+)+y$(printf 'z%.0s' $(seq 1 3000))" "$(printf 'x%.0s' $(seq 1 40))" || true
