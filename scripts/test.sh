#!/usr/bin/env bash
# Builds kelvor for i686 and x86_64 and runs every test of both under Wine.
#
#   scripts/test.sh              both architectures, every test
#   scripts/test.sh --repeat N   the x86_64 suite N times, each from a fresh Wine prefix, with
#                                each run's result; ends non-zero when any run failed
#   scripts/test.sh --repeat N --busy
#                                the same, with one core kept busy throughout by a process of
#                                the script's own, as on a shared CI machine
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 [--repeat N [--busy]]" >&2; exit 2; }
repeat=0
busy=0
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat) repeat=${2:-}; shift 2 || usage ;;
    --busy) busy=1; shift ;;
    *) usage ;;
  esac
done
case "$repeat" in ''|*[!0-9]*) usage ;; esac
[ "$busy" = 0 ] || [ "$repeat" -gt 0 ] || usage

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
  if [ "$busy" = 1 ]; then
    # A shell loop that never sleeps keeps one core at 100 % until the script ends, however it ends.
    ( trap - EXIT; while :; do :; done ) &
    busy_pid=$!
    trap 'kill "$busy_pid" 2>/dev/null || true' EXIT
    echo "== one core kept busy by process $busy_pid"
  fi
  failed=0
  results=()
  for run in $(seq "$repeat"); do
    echo "== x86_64: run $run of $repeat, from a fresh Wine prefix$([ "$busy" = 1 ] && echo ", one core busy")"
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
