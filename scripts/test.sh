#!/usr/bin/env bash
# Builds all three configurations and runs every test:
#   build/      native build: unit tests, then vortane-serve under load (bench/redos.sh,
#               bench/soak.sh, bench/rules-check.sh)
#   build-win/  Windows x64 (mingw-w64): the same tests under Wine, and the release package
#               (vortane-<version>-win64.zip) made and its contents checked
#   build-san/  clang with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer:
#               the same tests, then each libFuzzer target for FUZZ_SECONDS (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}

step() { printf '\n=== %s\n' "$*"; }

step "native build"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest -j "$jobs" --output-on-failure)

step "vortane-serve under load: a runaway rule, a 10 s soak, the benchmark's rules on both servers"
bash bench/redos.sh
bash bench/soak.sh 10
bash bench/rules-check.sh

step "Windows build, tests under Wine, the release package"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-win -j "$jobs"
(cd build-win && ctest --output-on-failure)

step "sanitizer build"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-san -G Ninja \
  -DVORTANE_SANITIZE=ON -DVORTANE_FUZZ=ON -DVORTANE_BENCHMARKS=OFF >/dev/null
cmake --build build-san -j "$jobs"
(cd build-san && ctest -j "$jobs" --output-on-failure)

step "ThreadSanitizer build: the whole suite, the store stress test among it"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-tsan -G Ninja \
  -DVORTANE_TSAN=ON -DVORTANE_BENCHMARKS=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target vortane_tests vortane
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/vortane_tests --gtest_brief=1

step "fuzzing, ${fuzz_seconds} s per target"
for target in pattern substitution config url request prefilter replay request_filename pasted; do
  work=$(mktemp -d)
  cp fuzz/corpus/"$target"/* "$work"/
  # Inputs that once crashed a target are replayed first.
  regressions=fuzz/regressions/"$target"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    build-san/fuzz/"$target"_fuzz -runs=0 "$regressions"/*
  fi
  # A finding prints its report and the input, which is kept under build-san/fuzz/findings/.
  findings=build-san/fuzz/findings/"$target"
  mkdir -p "$findings"
  if ! build-san/fuzz/"$target"_fuzz -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings"/ "$work" >"$work.log" 2>&1; then
    grep -v -E '^(#[0-9]+|INFO:)' "$work.log" | tail -n 60
    echo "$target: the fuzzer found a fault; its input is in $findings" >&2
    exit 1
  fi
  tail -n 3 "$work.log"
  rm -rf "$work" "$work.log"
done

step "all tests passed"
