#!/usr/bin/env bash
# Installs everything the builds and tests need on a fresh Debian 12 machine (run as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config       # native build
  libboost1.81-dev                       # Boost.Regex (header-only)
  libgtest-dev googletest                # tests; the sources are rebuilt for Windows
  libbenchmark-dev                       # benchmarks
  libpcre2-dev                           # compared with in vortane_pass_bench (bench only)
  clang-14 libclang-rt-14-dev            # sanitizers and libFuzzer
  g++-mingw-w64-x86-64-posix             # Windows x64 build
  wine wine64                            # runs the Windows tests
  curl                                   # vortane-serve end-to-end and load tests
  wrk                                    # load tests of vortane-serve (bench/*.sh)
  apache2-bin                            # Apache httpd, compared with in bench/throughput.sh
                                         # and in the front-controller test (ctest); the
                                         # binary and modules only, no service to start
  gnuplot-nox                            # bench/plot.sh draws docs/performance.svg
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
