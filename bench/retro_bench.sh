#!/usr/bin/env bash
# Builds the MAG, Pi and PIC plug-ins and their benchmark with optimisation
# (RelWithDebInfo, -O2) and runs it. Usage: bench/retro_bench.sh [runs]
# The build directory is build-bench, or $VEXEL_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VEXEL_BENCH_BUILD:-build-bench}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXEL_BENCH=ON \
  -DVEXEL_TESTS=OFF -DVEXEL_PLUGINS=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target retro_bench
"$build/bench/retro_bench" "$@"
