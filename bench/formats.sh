#!/usr/bin/env bash
# Whole-program benchmarks of vexel converting to BMP, each against a
# reference measured in the same run:
#
# - Tools: JPEG, GIF, TIFF and PNG against the codec libraries' own tools and
#    ImageMagick, on a 12-megapixel photo-like picture, as ratios to vexel.
# - Floor: every format against its floor: the library's fastest decode of the
#    whole picture into memory (bench/floor.c) plus a cp of a file of the
#    BMP's size, all three in one hyperfine run. GIF, TIFF, JPEG and PNG on
#    three pictures: the photo, a 2560x1440 screenshot (bench/mkscreen.c)
#    and a 3000x2000 one in 256 colours; TIFF uncompressed, LZW, Deflate
#    and PackBits. WebP, HEIC, AVIF 4:2:0 and JPEG XL on the photo.
# - Batch: the fixed cost, 200 small JPEGs (1280x960) in one run of vexel, against
#    mogrify -format bmp and a djpeg per file.
#
#   bench/formats.sh [build-dir]      (default: build; needs its vexel and spi/)
#
# Times are medians; outputs are removed before every run. Each hyperfine
# run of the floor and batch tables is made VEXEL_BENCH_ROUNDS times (default 3) of
# VEXEL_BENCH_RUNS runs (default 5), the rows in turn, so that a change in
# the machine's load falls on every row alike.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
bash scripts/deps.sh build bench
[ -x "$build/vexel" ] || { echo "no $build/vexel: build first" >&2; exit 1; }

work=$(mktemp -d /tmp/vexel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/mkphoto" bench/mkphoto.c -lm
cc -O2 -o "$work/mkscreen" bench/mkscreen.c -lm
# One floor program per library (see floor.c). A format outside vexel's
# default set gets a plug-in directory with its plug-in alone: -a on
# build/spi would load every plug-in there and add their start to the row.
for lib in gif:libgif tiff:libtiff-4 jpeg:libjpeg png:libpng webp:libwebp heif:libheif avif:libavif \
  jxl:libjxl,libjxl_threads; do
  name=${lib%:*}
  # shellcheck disable=SC2046
  cc -O2 -DFLOOR_"${name^^}" -o "$work/floor-$name" bench/floor.c $(pkg-config --cflags --libs "${lib#*:}")
done
for key in png webp heic avif jxl; do
  mkdir "$work/spi-$key"
  ln -s "$build/spi/if$key.spi" "$work/spi-$key/"
done
cd "$work"

echo "making pictures..." >&2
C=/usr/bin/convert
./mkphoto 4240 2832 > photo.ppm                       # 12.0 megapixels
./mkscreen 2560 1440 > screen.ppm
./mkphoto 3000 2000 3 > p256.ppm
$C p256.ppm -colors 256 p256.gif
for p in photo screen; do $C $p.ppm -colors 256 $p.gif; done
for p in photo screen p256; do
  src=$p.ppm
  [ $p = p256 ] && src="p256.gif -type Palette"
  # shellcheck disable=SC2086
  for c in none lzw zip RLE; do $C $src -compress $c "$p-${c,,}.tif"; done
  mv "$p-rle.tif" "$p-packbits.tif"
done
cjpeg -quality 90 -sample 2x2 -outfile j420.jpg photo.ppm
cjpeg -quality 90 -sample 1x1 -outfile j444.jpg photo.ppm
cjpeg -quality 90 -sample 2x2 -outfile screen.jpg screen.ppm
pnmtopng photo.ppm > photo.png
pnmtopng screen.ppm > screen.png
$C p256.gif p256.png                                   # a palette PNG
cwebp -quiet -q 90 photo.ppm -o photo.webp
heif-enc -q 80 photo.png -o photo.heic
avifenc -j 2 -s 8 -y 420 --min 10 --max 30 photo.png photo.avif >/dev/null
cjxl -d 1 photo.ppm photo.jxl 2>/dev/null
mkdir small out
./mkphoto 1280 960 7 > small.ppm
cjpeg -quality 85 -outfile small/s000.jpg small.ppm
for i in $(seq 1 199); do cp small/s000.jpg "small/s$(printf %03d "$i").jpg"; done

spi=$build/spi
v=$build/vexel
runs=${VEXEL_BENCH_RUNS:-5}
rounds=${VEXEL_BENCH_ROUNDS:-3}
results=()
# vexel's arguments for a file: its default plug-ins, or the one for the file
plugins() {
  local key=${1##*.}
  [ -d "$work/spi-$key" ] && echo "-d $work/spi-$key -a" || echo "-d $spi"
}

# Tools. bench NAME CMD...: CMD over the runs, outputs removed first
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
  bench "$j-convert" "$C $j.jpg out3.bmp"
done
bench gif-vexel "$v -d $spi photo.gif out.bmp"
bench gif-gif2rgb "gif2rgb -1 -o /dev/null photo.gif"
bench gif-convert "$C photo.gif out3.bmp"
bench tif-vexel "$v -d $spi photo-lzw.tif out.bmp"
bench tif-tiff2rgba "tiff2rgba photo-lzw.tif out2.bmp"
bench tif-convert "$C photo-lzw.tif out3.bmp"
bench png-vexel "$v $(plugins photo.png) photo.png out.bmp"
bench png-pngtopnm "sh -c 'pngtopnm photo.png > /dev/null'"
bench png-convert "$C photo.png out3.bmp"

# Floor. Rows: picture file and the floor's library. The BMP each makes
# is kept as the file the cp copies.
rows=(photo.gif:gif screen.gif:gif p256.gif:gif)
for p in photo screen p256; do
  for c in none lzw zip packbits; do rows+=("$p-$c.tif:tiff"); done
done
rows+=(j420.jpg:jpeg j444.jpg:jpeg screen.jpg:jpeg photo.png:png screen.png:png p256.png:png)
rows+=(photo.webp:webp photo.heic:heif photo.avif:avif photo.jxl:jxl)
for row in "${rows[@]}"; do
  f=${row%:*}
  # shellcheck disable=SC2046
  "$v" $(plugins "$f") "$f" "size-$f.bmp" >/dev/null
done
for r in $(seq "$rounds"); do
  for row in "${rows[@]}"; do
    f=${row%:*} lib=${row#*:}
    hyperfine -N --warmup 1 --runs "$runs" --prepare 'rm -f out.bmp out2.bmp' \
      --export-json "floor-$f-$r.json" "$v $(plugins "$f") $f out.bmp" "$work/floor-$lib $lib $f" \
      "cp size-$f.bmp out2.bmp" >/dev/null 2>&1 || { echo "failed: $f" >&2; exit 1; }
  done
  # Batch: every output made anew in out/ (names keep the input's
  # directory part: vexel runs beside the inputs).
  hyperfine -N --warmup 1 --runs "$runs" --prepare "sh -c 'rm -rf out && mkdir out'" \
    --export-json "batch-$r.json" "sh -c 'cd small && $v -d $spi *.jpg ../out > /dev/null'" \
    "/usr/bin/mogrify -path out -format bmp small/*.jpg" \
    "sh -c 'for f in small/*.jpg; do djpeg -bmp -outfile out/\$(basename \$f .jpg).bmp \$f; done'" \
    >/dev/null 2>&1 || { echo "failed: batch" >&2; exit 1; }
done

/usr/bin/python3 - "$rounds" "${rows[@]}" -- "${results[@]}" <<'PY'
import json, statistics, sys
args = sys.argv[1:]
rounds, rows, names = int(args[0]), args[1:args.index("--")], args[args.index("--") + 1:]
med = lambda xs: statistics.median(xs) * 1000


def rounds_of(name):
    """The times of each command over every round, and their CPU time."""
    times, cpu = [[], [], []], [0.0, 0.0, 0.0]
    for r in range(1, rounds + 1):
        for k, res in enumerate(json.load(open(f"{name}-{r}.json"))["results"]):
            times[k] += res["times"]
            cpu[k] += res["user"] + res["system"]
    return times, cpu


mean = {n: json.load(open(n + ".json"))["results"][0]["mean"] for n in names}
groups = {}
for n in names:
    g, tool = n.split("-", 1)
    groups.setdefault(g, []).append((tool, mean[n]))
print("| picture | tool | ms | time / vexel |")
print("|---|---|---:|---:|")
for g, rs in groups.items():
    ref = dict(rs)["vexel"]
    for tool, t in rs:
        print(f"| {g} | {tool} | {t * 1000:.1f} | {t / ref:.2f} |")

print()
print("| picture | vexel ms | floor ms | cp ms | vexel / (floor + cp) | the same in CPU time |")
print("|---|---:|---:|---:|---:|---:|")
for row in rows:
    f = row.rsplit(":", 1)[0]
    times, cpu = rounds_of(f"floor-{f}")
    v, fl, cp = (med(t) for t in times)
    print(f"| {f} | {v:.1f} | {fl:.1f} | {cp:.1f} | {v / (fl + cp):.2f} | {cpu[0] / (cpu[1] + cpu[2]):.2f} |")

print()
times, cpu = rounds_of("batch")
b = [med(t) for t in times]
print("| 200 JPEGs of 1280x960 | ms | time / vexel | CPU time / vexel's |")
print("|---|---:|---:|---:|")
for k, name in enumerate(["vexel, one run", "mogrify -format bmp", "djpeg -bmp each"]):
    print(f"| {name} | {b[k]:.0f} | {b[k] / b[0]:.2f} | {cpu[k] / cpu[0]:.2f} |")
PY
