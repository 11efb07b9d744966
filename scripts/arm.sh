#!/usr/bin/env bash
# The IMP coder's NEON kernels: cross-builds the IMP unit tests for 64-bit
# ARM and runs them under qemu-user, so that both paths of the round-trip
# test meet on ARM too.
#
#   bash scripts/arm.sh          (build dir build-arm)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh arm test

out=build-arm
mkdir -p "$out"
cxx=(aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra)
gt=/usr/src/googletest/googletest
if [ ! -f "$out/gtest.a" ]; then
  "${cxx[@]}" -I"$gt/include" -I"$gt" -c "$gt/src/gtest-all.cc" -o "$out/gtest-all.o"
  "${cxx[@]}" -I"$gt/include" -c "$gt/src/gtest_main.cc" -o "$out/gtest_main.o"
  aarch64-linux-gnu-ar rcs "$out/gtest.a" "$out/gtest-all.o" "$out/gtest_main.o"
fi
"${cxx[@]}" -Isrc -I"$gt/include" tests/imp_test.cpp src/imp/*.cpp src/support/*.cpp \
  src/platform/posix.cpp "$out/gtest.a" -lpthread -ldl -o "$out/imp_test"
qemu-aarch64 -L /usr/aarch64-linux-gnu "$out/imp_test"
