#!/usr/bin/env bash
# The program as a user gets it, from a finished build directory:
#   1. installed into a prefix that is then moved, converting with no -d;
#   2. packed as a Debian package and unpacked, converting with no -d;
#   3. the package through lintian and the manual page through groff and man;
#   4. the example netpbm plug-in built against the installed kit with
#      pkg-config, its pictures compared with ImageMagick's reading.
#
#   install_test.sh <build dir> <source dir>
#
# Prints each failed check and one summary line; exits 1 when any failed.
set -uo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
# Nothing may name the plug-in directory but the program's own place.
for v in $(env | sed -n 's/^\([Ww][Ii][Nn][Dd][Ii][Rr]\)=.*/\1/p'); do unset "$v"; done

failed=()
passed=0
# check <what> <command...>: runs the command; its output is shown when it fails.
check() {
  if "${@:2}" >"$tmp/log" 2>&1; then
    passed=$((passed + 1))
  else
    failed+=("$1")
    echo "FAIL $1"
    sed 's/^/    /' "$tmp/log" | head -20
  fi
}
# converts <vexel> <args...>: converts, and the last argument is a BMP of
# the rose's size.
converts() {
  local out=${*: -1}
  rm -f "$out"
  "$@" && [ "$(identify -format "%m %wx%h" "$out")" = "BMP3 70x46" ]
}
# refused <message> <vexel> <args...>: status 1 and that one message.
refused() {
  local want=$1 err status
  shift
  err=$("$@" 2>&1 >/dev/null)
  status=$?
  [ "$status" = 1 ] && [ "$err" = "$want" ] || { echo "status $status: $err"; return 1; }
}
# samePixels <netpbm> <bmp>: ImageMagick's stream rounds to 8 bits
# (convert -depth 8 truncates), and reads the 8-bit BMP exactly.
samePixels() {
  cmp <(stream -map rgb -storage-type char "$1" -) <(convert "$2" -depth 8 rgb:-)
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
convert rose: rose.jpg

# 1. Installed, moved, and run from its new place.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
mv prefix moved
check "installed tree, moved" converts moved/bin/vexel rose.jpg rose.bmp
check "windir still counts" refused "ifgif.spi: Plug-in not loaded
ifjpeg.spi: Plug-in not loaded
iftiff.spi: Plug-in not loaded" env windir="$tmp/none" moved/bin/vexel rose.jpg rose.bmp

# 2. The Debian package, unpacked.
deb="$tmp/deb/vexel_${version}_$arch.deb"
check "package built" cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/deb"
check "package name" test -f "$deb"
check "library dependencies" grep -q libjpeg <(dpkg-deb -f "$deb" Depends)
dpkg-deb -x "$deb" unpacked
check "unpacked package" converts unpacked/usr/bin/vexel rose.jpg rose.bmp

# 3. lintian, groff and man.
lintian --fail-on error "$deb" >lintian.txt 2>/dev/null
check "lintian" sh -c "cat lintian.txt; exit $?"
errors=$(grep -c '^E:' lintian.txt)
warnings=$(grep -c '^W:' lintian.txt)
check "groff" test -z "$(groff -man -ww -z moved/share/man/man1/vexel.1 2>&1)"
check "man" test -z "$(MANWIDTH=80 man --warnings -l unpacked/usr/share/man/man1/vexel.1.gz 2>&1 >/dev/null)"

# 4. The example plug-in, built out of tree with the moved tree's kit and
# installed into its plug-in directory.
check "header in C" gcc -std=c99 -Wall -Wextra -pedantic -fsyntax-only -x c -I moved/include - <<<'#include <vexel/spi.h>'
mkdir ex
check "example built" env PKG_CONFIG_PATH="$tmp/moved/share/pkgconfig" \
  make -s -C ex -f "$src/examples/netpbm/Makefile" install
convert rose: rose.ppm
convert rose: -depth 10 rose.pnm                   # P6, maxval 1023
convert rose: -colorspace gray -depth 16 rose.pgm  # P5, maxval 65535
convert rose: -monochrome rose.pbm                 # P4
for f in rose.ppm rose.pnm rose.pgm rose.pbm; do
  check "$f" converts moved/bin/vexel -a "$f" "$f.bmp"
  check "$f pixels" samePixels "$f" "$f.bmp"
done
# Damaged files are refused, whatever they claim.
while IFS='|' read -r name bytes message; do
  printf "$bytes" >"$name"
  check "$name refused" refused "$name: $message" moved/bin/vexel -a "$name" out.bmp
done <<'EOF'
short.ppm|P6 4 4 255\n0123456789|broken data file
zero.pgm|P5 0 4 255\n0123|broken data file
maxval0.pgm|P5 2 1 0\n\0\0|broken data file
maxval65536.pgm|P5 2 1 65536\n\0\0\0\0|broken data file
above.pgm|P5 2 1 100\n\0\145|broken data file
nospace.pbm|P4 8 1|broken data file
huge.ppm|P6 2147483647 2147483647 255\n\0|cannot convert
plain.ppm|P3 1 1 255\n0 0 0\n|unknown format
EOF

echo "install test: $passed passed, ${#failed[@]} failed (lintian: $errors errors, $warnings warnings)" \
  "in $SECONDS s${failed[*]:+; failed: ${failed[*]}}"
[ ${#failed[@]} = 0 ]
