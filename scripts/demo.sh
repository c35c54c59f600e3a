#!/usr/bin/env bash
# Builds the native tools and shows a few rules at work with vortane-match.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target vortane-match
run() {
  printf '\n$ vortane-match'
  printf " '%s'" "$@"
  printf '\n'
  build/vortane-match "$@" || true
}
# A moved section, keeping the rest of the path.
run '^/old/(.*)$' '/old/products/item42.html' '/new/$1'
# A query string must be escaped in a substitution, or "?" starts a conditional.
run '^/product/(\d+)$' '/product/42' '/product.asp\?id=$1'
# A condition on the Host header joined to the URL by a line break; I folds case throughout.
run -i '^www\.example\.com$\n^/(.*)$' $'WWW.Example.COM\n/shop/cart' 'https://example.com/$1'
# Optional group and a conditional substitution.
run '^/search(?:/(\w+))?$' '/search' '/find(?1\?q=$1:)'
# Catastrophic backtracking is stopped after half a second.
printf '\n$ vortane-match "(x+x+)+y" followed by 3000 z, against 40 x\n'
time build/vortane-match "(x+x+)+y$(printf 'z%.0s' $(seq 1 3000))" "$(printf 'x%.0s' $(seq 1 40))" || true
