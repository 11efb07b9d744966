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
# fuzz_one TARGET: one fuzzer from its seeds; its output goes to
# build-fuzz/<name>.log and its status to build-fuzz/<name>.status.
fuzz_one() {
  local target=$1 name corpus status=0 limits=()
  name=$(basename "$target")
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  # Plug-ins must not let a small file make them allocate much.
  case "$name" in if*) limits=(-rss_limit_mb=2048 -malloc_limit_mb=512) ;; esac
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 "${limits[@]}" \
    -artifact_prefix="build-fuzz/$name-" "$corpus" >"build-fuzz/$name.log" 2>&1 || status=$?
  rm -rf "$corpus"
  echo "$status" >"build-fuzz/$name.status"
}
export -f fuzz_one
export fuzz_seconds
# One fuzzer a core: each is single-threaded.
printf '%s\n' build-fuzz/fuzz/*_fuzz | xargs -P "$jobs" -I{} bash -c 'fuzz_one {}'
failed=0
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  echo "-- $name"
  if [ "$(cat "build-fuzz/$name.status")" = 0 ]; then
    tail -1 "build-fuzz/$name.log"
  else
    tail -40 "build-fuzz/$name.log"
    failed=1
  fi
done
[ "$failed" = 0 ] || { echo "a fuzzer found a fault" >&2; exit 1; }
echo "== all tests passed"
