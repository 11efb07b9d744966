#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Usage: scripts/deps.sh [build|test|bench|windows|arm]...   (default: build test)
# Only missing packages are installed, so a second run costs one dpkg query.
set -euo pipefail

build=(cmake make g++ pkg-config libgif-dev libjpeg62-turbo-dev libtiff-dev libpng-dev
  libwebp-dev libheif-dev libavif-dev libjxl-dev)
test=(libgtest-dev clang libclang-rt-14-dev libfuzzer-14-dev imagemagick /usr/bin/python3 python3-pil
  dpkg-dev file lintian groff-base man-db
  webp libheif-examples libavif-bin libjxl-tools)
bench=(giflib-tools libtiff-tools libjpeg-turbo-progs netpbm imagemagick libqoi-dev hyperfine
  webp libheif-examples libavif-bin libjxl-tools)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 zip)
arm=(g++-aarch64-linux-gnu qemu-user)

want=()
[ $# -eq 0 ] && set -- build test
for group in "$@"; do
  case "$group" in
    build) want+=("${build[@]}") ;;
    test) want+=("${test[@]}") ;;
    bench) want+=("${bench[@]}") ;;
    windows) want+=("${windows[@]}") ;;
    arm) want+=("${arm[@]}") ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if [ "${p#/}" != "$p" ]; then
    # a path: stands for the package that provides it
    [ -x "$p" ] || missing+=(python3)
    continue
  fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
