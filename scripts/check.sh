#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build,
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and
# a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${VEXEL_FUZZ_SECONDS:-60}

bash scripts/deps.sh build test

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXEL_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== build and test under ASan and UBSan"
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DVEXEL_SANITIZE=ON >/dev/null
cmake --build build-san -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san -j"$jobs" --output-on-failure

echo "== Windows build, and its tests under Wine"
bash scripts/deps.sh windows
bash scripts/windows.sh

if [ -n "$(ls fuzz/*_fuzz.cpp 2>/dev/null)" ]; then
  echo "== fuzz (${fuzz_seconds}s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXEL_FUZZ=ON -DVEXEL_TESTS=OFF -DVEXEL_PLUGINS=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs"
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    echo "-- $name"
    "build-fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
      -artifact_prefix="build-fuzz/$name-" "$corpus" 2>&1 | tail -2
    rm -rf "$corpus"
  done
fi
echo "== all tests passed"
