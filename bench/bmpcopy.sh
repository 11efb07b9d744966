#!/usr/bin/env bash
# BMP to BMP: vexel converting a 12-megapixel 24-bit BMP into a new BMP,
# against cp of the same file, alternating in one run. Reports the median
# time of each and their ratio.
#
#   bench/bmpcopy.sh [vexel] [plug-in dir] [runs]
#
# Defaults: build/vexel, build/spi (vexel loads the default plug-ins before
# it converts anything, even a BMP), 30 runs. Needs hyperfine
# (scripts/deps.sh bench). The work files live in a
# scratch directory under $TMPDIR (default /tmp), so both copies go to the
# same file system.
set -euo pipefail
cd "$(dirname "$0")/.."
vexel=$(realpath "${1:-build/vexel}")
spi=$(realpath "${2:-build/spi}")
runs=${3:-30}
[ -x "$vexel" ] || { echo "no $vexel: build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "no hyperfine: scripts/deps.sh bench" >&2; exit 1; }
for p in ifgif.spi ifjpeg.spi iftiff.spi; do
  [ -f "$spi/$p" ] || { echo "no $spi/$p: vexel cannot start without it" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vexel-bmpcopy.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/mkphoto" bench/mkphoto.c -lm
cd "$work"
./mkphoto 4240 2832 > photo.ppm # 12.0 megapixels
/usr/bin/convert photo.ppm -type TrueColor BMP3:photo.bmp
rm photo.ppm
[ "$(od -An -tu2 -j28 -N2 photo.bmp | tr -d ' ')" = 24 ] || { echo "photo.bmp is not 24-bit" >&2; exit 1; }

# The copy must be the very picture, or the comparison means nothing.
"$vexel" -d "$spi" photo.bmp out.bmp
cmp -s <(tail -c +55 photo.bmp) <(tail -c +55 out.bmp) || { echo "vexel changed the pixels" >&2; exit 1; }

# One hyperfine run over the three commands; the third is vexel's fixed
# cost: starting and loading the plug-ins, for an input that does not
# exist. Outputs are removed before every run, so nothing asks to
# overwrite and both copies create a new file.
hyperfine -N -i --warmup 3 --runs "$runs" --prepare 'rm -f out.bmp copy.bmp' \
  --export-json times.json \
  "$vexel -d $spi photo.bmp out.bmp" \
  "cp photo.bmp copy.bmp" \
  "$vexel -d $spi none.bmp out.bmp" >/dev/null 2>&1

size=$(stat -c %s photo.bmp)
echo "24-bit BMP, 4240x2832, $size bytes, $runs runs each, medians:"
/usr/bin/python3 - <<'PY'
import json
r = [x["median"] * 1000 for x in json.load(open("times.json"))["results"]]
print("  vexel BMP to BMP               %8.1f ms" % r[0])
print("  cp                             %8.1f ms" % r[1])
print("  vexel start and plug-ins only  %8.1f ms" % r[2])
print("  ratio vexel / cp               %8.2f" % (r[0] / r[1]))
print("  ratio without the fixed start  %8.2f" % ((r[0] - r[2]) / r[1]))
PY
