#!/usr/bin/env bash
# Builds the filter library and vortane-serve, and serves the shipped examples through the
# filter: the global rules (examples/site/httpd.ini) and two sites, the shop (site 1) on
# port 8080 and the documentation (site 2) on port 8081. Runs until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VORTANE_BUILD_DIR:-build}
shop_port=${SHOP_PORT:-8080}
docs_port=${DOCS_PORT:-8081}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target vortane vortane-serve vortane-try vortane-match

# The server copies the library into the directory it serves from and writes the site table
# and parse reports there: work on a copy, so the examples stay clean.
site=$build/example-site
rm -rf "$site"
cp -r examples/site "$site"

cat <<TEXT

Try, from another terminal:
  curl -i http://127.0.0.1:$docs_port/guide/install
  curl -i -H 'Host: www.example.com' http://127.0.0.1:$docs_port/guide/install
  curl -i http://127.0.0.1:$shop_port/catalogue/mugs
The access log is $site/access.log.

TEXT
exec "$build"/vortane-serve "$site" --access-log "$site/access.log" \
  --site 1=127.0.0.1:"$shop_port":"$site/shop" --site 2=127.0.0.1:"$docs_port":"$site/docs"
