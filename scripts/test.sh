#!/usr/bin/env bash
# Builds kelvor for i686 and x86_64 and runs every test of both under Wine.
#
#   scripts/test.sh              both architectures, every test
#   scripts/test.sh --repeat N   the x86_64 suite N times, each from a fresh Wine prefix, with
#                                each run's result; ends non-zero when any run failed
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=0
case "${1:-}" in
  "") ;;
  --repeat) repeat=${2:?--repeat takes a number of runs} ;;
  *) echo "usage: $0 [--repeat N]" >&2; exit 2 ;;
esac

./scripts/install-deps.sh

build_arch() {
  local arch=$1 other=""
  # The 64-bit build also checks the resources and imports of the 32-bit executable, and makes
  # the release of both architectures.
  [ "$arch" = x86_64 ] && [ -f "$PWD/build/i686/bin/kelvor.exe" ] &&
    other="-DKELVOR_OTHER_EXE=$PWD/build/i686/bin/kelvor.exe -DKELVOR_OTHER_BUILD_DIR=$PWD/build/i686"
  echo "== $arch: build"
  # shellcheck disable=SC2086 # two arguments or none
  cmake -S . -B "build/$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$arch.cmake -DCMAKE_BUILD_TYPE=Release $other >/dev/null
  cmake --build "build/$arch" -j2
}

# Runs one architecture's tests in its build's prefix; extra arguments go to ctest.
test_arch() {
  local arch=$1
  shift
  (
    . scripts/wine-env.sh "$PWD/build/$arch" "$arch"
    trap kelvor_stop EXIT
    kelvor_start_display
    kelvor_start_wine
    cd "$PWD/build/$arch" && ctest --output-on-failure "$@"
  )
}

if [ "$repeat" -gt 0 ]; then
  build_arch x86_64
  failed=0
  results=()
  for run in $(seq "$repeat"); do
    echo "== x86_64: run $run of $repeat, from a fresh Wine prefix"
    rm -rf build/x86_64/wineprefix
    log=build/x86_64/repeat-$run.log
    start=$(date +%s)
    if test_arch x86_64 >"$log" 2>&1; then verdict=passed; else verdict=FAILED; failed=$((failed + 1)); fi
    summary=$(grep -E 'tests passed' "$log" | tail -n 1)
    results+=("run $run: $verdict in $(($(date +%s) - start)) s: $summary")
    echo "${results[-1]}"
    [ "$verdict" = passed ] || grep -E '^\s*[0-9]+ - |Failure|FAILED|\.cpp:[0-9]+' "$log" | head -n 20
  done
  echo "== $repeat runs, $failed failed"
  printf '%s\n' "${results[@]}"
  [ "$failed" -eq 0 ]
  exit
fi

status=0
for arch in i686 x86_64; do
  build_arch "$arch"
  echo "== $arch: tests"
  test_arch "$arch" || status=1
done
exit $status
