#!/usr/bin/env bash
# Builds kelvor for i686 and x86_64 and runs every test of both under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

status=0
for arch in i686 x86_64; do
  build=$PWD/build/$arch
  echo "== $arch: build"
  # The 64-bit run also checks the resources and imports of the 32-bit executable.
  other=""
  [ "$arch" = x86_64 ] && other=-DKELVOR_OTHER_EXE=$PWD/build/i686/bin/kelvor.exe
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$arch.cmake -DCMAKE_BUILD_TYPE=Release $other >/dev/null
  cmake --build "$build" -j2
  echo "== $arch: tests"
  (
    . scripts/wine-env.sh "$build" "$arch"
    trap kelvor_stop EXIT
    kelvor_start_display
    kelvor_start_wine
    cd "$build" && ctest --output-on-failure
  ) || status=1
done
exit $status
