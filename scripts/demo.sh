#!/usr/bin/env bash
# Installs what is missing, builds vexel and its default plug-ins, makes the
# sample pictures and converts them all into out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXEL_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"

rm -rf out && mkdir -p out/samples
build/samples/mksamples out/samples
# Every picture the samples hold, in one batch, into out/ as bitmaps; yes
# to any overwrite question.
yes | build/vexel -d build/spi -a out/samples/* out
ls -l out
