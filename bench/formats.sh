#!/usr/bin/env bash
# Whole-program comparison: vexel converting JPEG, GIF, TIFF and PNG to BMP
# against the codec libraries' own tools and ImageMagick, side by side in
# one run, reported as ratios to vexel; and vexel converting WebP, HEIC,
# AVIF and JPEG XL against the floor: the library's own fastest decode into
# memory (bench/floor.c) plus a cp of a file of the BMP's size.
#
#   bench/formats.sh [build-dir]      (default: build; needs its vexel and spi/)
#
# Pictures: a 12-megapixel photo-like picture (JPEG 4:2:0 and 4:4:4, GIF,
# TIFF, PNG, WebP, HEIC, AVIF 4:2:0, JPEG XL) and a batch of 100 small ones
# (640x480 JPEG).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
bash scripts/deps.sh build bench
[ -x "$build/vexel" ] || { echo "no $build/vexel: build first" >&2; exit 1; }

work=$(mktemp -d /tmp/vexel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/mkphoto" bench/mkphoto.c -lm
libs="libwebp libheif libavif libjxl libjxl_threads"
# shellcheck disable=SC2046,SC2086
cc -O2 -o "$work/floor" bench/floor.c $(pkg-config --cflags --libs $libs)
cd "$work"

echo "making pictures..." >&2
./mkphoto 4240 2832 > photo.ppm                       # 12.0 megapixels
cjpeg -quality 90 -sample 2x2 -outfile j420.jpg photo.ppm
cjpeg -quality 90 -sample 1x1 -outfile j444.jpg photo.ppm
/usr/bin/convert photo.ppm -colors 256 photo.gif
/usr/bin/convert photo.ppm -compress lzw photo.tif
pnmtopng photo.ppm > photo.png
cwebp -quiet -q 90 photo.ppm -o photo.webp
heif-enc -q 80 photo.png -o photo.heic
avifenc -j 2 -s 8 -y 420 --min 10 --max 30 photo.png photo.avif >/dev/null
cjxl -d 1 photo.ppm photo.jxl 2>/dev/null
mkdir small out
./mkphoto 640 480 7 > small.ppm
cjpeg -quality 85 -outfile small/s000.jpg small.ppm
for i in $(seq 1 99); do cp small/s000.jpg "small/s$(printf %03d "$i").jpg"; done

spi=$build/spi
v=$build/vexel
runs=${VEXEL_BENCH_RUNS:-10}
results=()

# bench NAME CMD...: mean seconds of CMD over the runs, outputs removed first
bench() {
  local name=$1; shift
  hyperfine -N --warmup 2 --runs "$runs" --prepare 'rm -rf out.bmp out2.bmp out3.bmp out' \
    --export-json "$name.json" "$*" >/dev/null 2>&1 ||
    { echo "failed: $*" >&2; return 1; }
  results+=("$name")
}

for j in j420 j444; do
  bench "$j-vexel" "$v -d $spi $j.jpg out.bmp"
  bench "$j-djpeg-bmp" "djpeg -bmp -outfile out2.bmp $j.jpg"
  bench "$j-djpeg-decode" "djpeg -outfile /dev/null $j.jpg"
  bench "$j-convert" "/usr/bin/convert $j.jpg out3.bmp"
done
bench gif-vexel "$v -d $spi photo.gif out.bmp"
bench gif-gif2rgb "gif2rgb -1 -o /dev/null photo.gif"
bench gif-convert "/usr/bin/convert photo.gif out3.bmp"
bench tif-vexel "$v -d $spi photo.tif out.bmp"
bench tif-tiff2rgba "tiff2rgba photo.tif out2.bmp"
bench tif-convert "/usr/bin/convert photo.tif out3.bmp"
bench png-vexel "$v -d $spi -a photo.png out.bmp"
bench png-pngtopnm "sh -c 'pngtopnm photo.png > /dev/null'"
bench png-convert "/usr/bin/convert photo.png out3.bmp"
for f in webp heic avif jxl; do
  lib=$f
  [ $f = heic ] && lib=heif
  bench "$f-vexel" "$v -d $spi -a photo.$f out.bmp"
  bench "$f-floor" "$work/floor $lib photo.$f"
  [ -e size.bmp ] || "$v" -d "$spi" -a photo.$f size.bmp
  bench "$f-cp" "cp size.bmp out2.bmp"
done
# Output names keep the input's directory part: run beside the inputs.
bench batch-vexel "sh -c 'mkdir out && cd small && $v -d $spi *.jpg ../out > /dev/null'"
bench batch-djpeg-bmp "sh -c 'mkdir out && for f in small/*.jpg; do djpeg -bmp -outfile out/\$(basename \$f .jpg).bmp \$f; done'"
bench batch-convert "sh -c 'mkdir out && /usr/bin/convert small/*.jpg -set filename:f %t out/%[filename:f].bmp'"

/usr/bin/python3 - "${results[@]}" <<'PY'
import json, sys
names = sys.argv[1:]
res = {n: json.load(open(n + ".json"))["results"][0] for n in names}
mean = {n: r["mean"] for n, r in res.items()}
cpu = {n: r["user"] + r["system"] for n, r in res.items()}
groups = {}
for n in names:
    g, tool = n.split("-", 1)
    groups.setdefault(g, []).append((tool, mean[n]))
print("| picture | tool | ms | time / vexel |")
print("|---|---|---:|---:|")
for g, rows in groups.items():
    ref = dict(rows)["vexel"]
    for tool, t in rows:
        print(f"| {g} | {tool} | {t * 1000:.1f} | {t / ref:.2f} |")
print()
# The same ratio in CPU time (user and system), which other work on the
# machine disturbs less than the elapsed time.
print("| picture | vexel ms | floor ms | cp ms | vexel / (floor + cp) | the same in CPU time |")
print("|---|---:|---:|---:|---:|---:|")
for g in groups:
    v, f, c = g + "-vexel", g + "-floor", g + "-cp"
    if f in mean:
        print(f"| {g} | {mean[v] * 1000:.1f} | {mean[f] * 1000:.1f} | {mean[c] * 1000:.1f} "
              f"| {mean[v] / (mean[f] + mean[c]):.2f} | {cpu[v] / (cpu[f] + cpu[c]):.2f} |")
PY
