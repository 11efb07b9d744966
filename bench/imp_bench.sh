#!/usr/bin/env bash
# Builds the IMP coder benchmark with optimisation (RelWithDebInfo, -O2)
# and runs it. Usage: bench/imp_bench.sh [runs [photo|screenshot|noise|FILE]]
# where FILE is a 24-bit BMP or a binary PPM.
# The build directory is build-bench, or $VEXEL_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VEXEL_BENCH_BUILD:-build-bench}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXEL_BENCH=ON \
  -DVEXEL_TESTS=OFF -DVEXEL_PLUGINS=OFF >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target imp_bench
"$build/bench/imp_bench" "$@"
