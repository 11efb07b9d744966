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
# Every sample picture, in one batch, into out/ as bitmaps. Output names
# keep the input's directory part, so the batch runs beside the inputs.
(cd out/samples && ../../build/vexel -d ../../build/spi -a * ..)
ls -l out
