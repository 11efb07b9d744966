#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build,
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and
# a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${VEXEL_FUZZ_SECONDS:-30}

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

echo "== fuzz (${fuzz_seconds}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXEL_FUZZ=ON -DVEXEL_TESTS=OFF -DVEXEL_PLUGINS=ON >/dev/null
cmake --build build-fuzz -j"$jobs"
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  # Plug-ins must not let a small file make them allocate much.
  limits=()
  case "$name" in if*) limits=(-rss_limit_mb=2048 -malloc_limit_mb=512) ;; esac
  echo "-- $name"
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 "${limits[@]}" \
    -artifact_prefix="build-fuzz/$name-" "$corpus" 2>&1 | tail -2
  rm -rf "$corpus"
done
echo "== all tests passed"
