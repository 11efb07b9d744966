#!/usr/bin/env bash
# The Windows program: builds it for 32-bit Windows (the product) and 64-bit
# Windows (which this machine runs under Wine), checks the 32-bit exports
# and imports, packs the 32-bit zip, and runs the command-line suite and the
# plug-in checks against the 64-bit build under Wine.
#
#   bash scripts/windows.sh            build, pack and test
#   bash scripts/windows.sh --no-test  build and pack only
#
# Results: build-win32/vexel-<version>-win32.zip, and the test summaries.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

jobs=$(nproc 2>/dev/null || echo 2)
run_tests=1
[ "${1:-}" = "--no-test" ] && run_tests=0

bash scripts/deps.sh windows test

build() { # <dir> <toolchain>
  cmake --no-warn-unused-cli -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/$2" -DCMAKE_BUILD_TYPE=Release \
    -DVEXEL_TESTS=OFF >/dev/null
  cmake --build "$1" -j"$jobs"
}

echo "== build for Windows (i686 and x86_64)"
build build-win32 toolchain-i686-w64-mingw32.cmake
build build-win64 toolchain-x86_64-w64-mingw32.cmake

echo "== check the 32-bit binaries"
objdump=i686-w64-mingw32-objdump
bad=0
for spi in build-win32/spi/*.spi; do
  exports=$($objdump -p "$spi" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\t\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
  if [ "$exports" != "GetPicture GetPictureInfo GetPluginInfo IsSupported " ]; then
    echo "$spi: exports '$exports', want the four plain names" >&2
    bad=1
  fi
done
# Only the system's own DLLs: no runtime of the compiler's to ship along.
for bin in build-win32/vexel.exe build-win32/spi/*.spi; do
  for dll in $($objdump -p "$bin" | sed -n 's/^\tDLL Name: //p'); do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | ole32.dll | user32.dll | advapi32.dll | windowscodecs.dll) ;;
      *) echo "$bin imports $dll" >&2; bad=1 ;;
    esac
  done
done
[ "$bad" = 0 ] || exit 1
echo "exports and imports ok"

echo "== pack"
version=$(sed -n 's/^project(vexel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
dist="$stage/vexel-$version"
mkdir "$dist"
cp build-win32/vexel.exe build-win32/spi/*.spi "$dist/"
# The build keeps its symbols for debugging; the user's copy needs none.
i686-w64-mingw32-strip "$dist"/*.exe "$dist"/*.spi
# Notepad wants CRLF.
sed 's/$/\r/' >"$dist/README.txt" <<EOF
vexel $version for Windows

vexel converts picture files into Windows bitmaps (BMP), or into its own
lossless IMP and BM2 formats. It reads BMP, BM2 and IMP by itself and every
other format through Susie image plug-ins (if<key>.spi).

Usage:
  vexel [-d <dir>] [-a] <inputfile> <outputfile>
  vexel [-imp] [-d <dir>] [-a] <inputfile>... <outputdir>
  vexel -usage

The plug-ins here read GIF (ifgif.spi), JPEG (ifjpeg.spi), TIFF (iftiff.spi)
and PNG (ifpng.spi) through the Windows Imaging Component, and MAG
(ifmag.spi), Pi (ifpi.spi) and PIC (ifpic.spi) by themselves. vexel looks for
its plug-ins in the Windows directory unless -d names another, so start it
as, for example:

  vexel -d C:\\vexel picture.jpg picture.bmp

ifgif.spi, ifjpeg.spi and iftiff.spi are needed; the others are used with
-a, which loads every plug-in in the directory.

With -a, ifwebp.spi, ifheic.spi, ifheif.spi, ifavif.spi and ifjxl.spi read
WebP, HEIC/HEIF, AVIF and JPEG XL pictures through the codecs Windows has:
WebP and HEIF come with Windows 10 and later (HEIC also needs the HEVC
codec, AVIF the AV1 codec, JPEG XL its own extension). A picture whose codec
is missing is reported as of an unknown format.
EOF
zip="$root/build-win32/vexel-$version-win32.zip"
rm -f "$zip"
(cd "$stage" && zip -q -r "$zip" "vexel-$version")
rm -rf "$stage"
echo "$zip"

[ "$run_tests" = 1 ] || exit 0

echo "== tests under Wine (x86_64 build)"
wine=/usr/lib/wine/wine64
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# A server kept running between the many short runs, and a prefix made up
# front, so that no test sees its set-up messages.
/usr/lib/wine/wineserver -p
$wine wineboot -i >/dev/null 2>&1

status=0
echo "-- platform layer"
scratch=$(mktemp -d)
$wine build-win64/tests/win/platformcheck.exe "$scratch" | tr -d '\r' || status=1
rm -rf "$scratch"

echo "-- command line"
/usr/bin/python3 tests/cli/cli_test.py --program "$wine $root/build-win64/vexel.exe" \
  --plugins "$root/build-win64/spi" --style windows --source "$root" || status=1

echo "-- plug-ins"
posix=()
# The POSIX build's own decode, when there is one, is the reference.
if [ -x build/vexel ] && [ -e build/spi/ifgif.spi ]; then
  posix=("$root/build/vexel" "$root/build/spi")
fi
/usr/bin/python3 tests/win/spi_test.py "$wine" "$root/build-win64/tests/win/spicheck.exe" "$root/build-win64/spi" \
  "${posix[@]}" || status=1

[ "$status" = 0 ] && echo "== Windows tests passed"
exit "$status"
