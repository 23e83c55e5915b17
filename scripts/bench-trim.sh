#!/usr/bin/env bash
# Times kelvor's cache trim pass under Wine against two others doing the same trim on the same
# generated caches of 100,000 and 300,000 files: the plainest Win32 pass (tests/bench/plain_trim:
# the proxy's files by name, one vector of last use, size and path, std::sort, DeleteFileW), which
# is the floor a pass of this design can reach under this Wine, and find, sort, awk and rm on the
# Linux side. Prints the
# times, kelvor's time as a share of the plain pass's, and the peak memory per file of both
# Win32 passes.
# Usage: scripts/bench-trim.sh [BUILD_DIR]   (default build/x86_64)
# RUNS=n sets the runs per figure (3), COUNTS="n ..." the cache sizes (100000 300000).
# Stops the Wine server of BUILD_DIR's prefix at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build/x86_64}")
runs=${RUNS:-3}
counts=${COUNTS:-100000 300000}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target trim_bench plain_trim >/dev/null
bench=$build/bin/trim_bench.exe
plain=$build/bin/plain_trim.exe

work=$build/bench-trim
. scripts/wine-env.sh "$build" x86_64
trap 'kelvor_stop; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"
kelvor_start_display
kelvor_start_wine

# The same tree every time from the same seed (scripts/make_cache_tree.py); prints the total
# size and the limit at which exactly a tenth of the files is over.
generate() { python3 scripts/make_cache_tree.py "$1" "$2"; }

# The trim as a Linux user would script it: the proxy's files (a server's folder, a name of 22
# base64 characters and "=="), the one used longest ago first until the rest fits the limit.
shell_trim() {
  find "$1" -mindepth 2 -maxdepth 2 -type f -regextype posix-extended \
    -regex '.*/[A-Za-z0-9._%-]+/[A-Za-z0-9+-]{21}[AQgw]==' -printf '%A@ %T@ %s %p\n' |
    awk '{ print ($1 > $2 ? $1 : $2), $3, $4 }' | LC_ALL=C sort -n |
    awk -v limit="$2" '{ size[NR] = $2; path[NR] = $3; total += $2 }
      END { for (i = 1; i <= NR && total > limit; i++) { print path[i]; total -= size[i] } }' |
    tr '\n' '\0' | xargs -0 -r rm -f
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { awk -v name="$1" '{ for (i = 1; i < NF; i++) if ($i == name) print $(i + 1) }'; }
files_in() { find "$1" -type f | wc -l; }

# Runs one Win32 pass: sets elapsed (wall seconds, with Wine's process start) and out (its
# report of its peak memory).
run_pass() {
  local start
  start=$(now)
  out=$("$kelvor_wine" "$1" "$(winpath "$2")" "$3" | tr -d '\r')
  elapsed=$(echo "$(now) - $start" | bc)
}

mkdir "$work/empty"
run_pass "$bench" "$work/empty" 1
empty_pagefile=$(field peak_pagefile <<<"$out")
empty_working_set=$(field peak_working_set <<<"$out")
run_pass "$plain" "$work/empty" 1
plain_empty_working_set=$(field peak_working_set <<<"$out")

rows=()
for count in $counts; do
  tree=$work/cache
  kelvor_times=() kelvor_scans=() plain_times=() plain_scans=() shell_times=()
  for run in $(seq "$runs"); do
    # Each side gets the same tree, freshly generated. A pass whose limit is the total scans and
    # sorts everything, deletes nothing and leaves the tree as it was: it times all but the
    # deletions.
    rm -rf "$tree"
    read -r total limit < <(generate "$tree" "$count")
    run_pass "$bench" "$tree" "$total"
    kelvor_scans+=("$elapsed")
    run_pass "$bench" "$tree" "$limit"
    kelvor_times+=("$elapsed")
    kelvor_deleted=$((count - $(files_in "$tree")))
    working_set=$(field peak_working_set <<<"$out")

    rm -rf "$tree"
    generate "$tree" "$count" >/dev/null
    run_pass "$plain" "$tree" "$total"
    plain_scans+=("$elapsed")
    run_pass "$plain" "$tree" "$limit"
    plain_times+=("$elapsed")
    plain_deleted=$((count - $(files_in "$tree")))
    plain_working_set=$(field peak_working_set <<<"$out")

    rm -rf "$tree"
    generate "$tree" "$count" >/dev/null
    start=$(now)
    shell_trim "$tree" "$limit"
    shell_times+=("$(echo "$(now) - $start" | bc)")
    shell_deleted=$((count - $(files_in "$tree")))
    echo "$count files, run $run: total $total limit $limit; kelvor ${kelvor_times[-1]} s" \
      "(scan ${kelvor_scans[-1]}), plain ${plain_times[-1]} s (scan ${plain_scans[-1]})," \
      "shell ${shell_times[-1]} s" >&2
  done
  rm -rf "$tree"
  rows+=("$(awk -v n="$count" -v kd="$kelvor_deleted" -v pd="$plain_deleted" -v sd="$shell_deleted" \
    -v k="$(median "${kelvor_times[@]}")" -v ks="$(median "${kelvor_scans[@]}")" \
    -v p="$(median "${plain_times[@]}")" -v ps="$(median "${plain_scans[@]}")" \
    -v sh="$(median "${shell_times[@]}")" \
    -v w="$working_set" -v w0="$empty_working_set" -v pw="$plain_working_set" -v pw0="$plain_empty_working_set" 'BEGIN {
      printf "%8d %6d %6d %6d %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %8.1f %8.1f\n", n, kd, pd, sd,
        k, ks, k - ks, p, ps, p - ps, sh, k / p, (w - w0) / n, (pw - pw0) / n }')")
done

echo
echo "median wall seconds of $runs runs, each side on a freshly generated copy of the same tree"
echo "\"scan\": a pass whose limit is the total (process start, scan and sort, no deletions);"
echo "\"delete\": the pass minus the scan. plain: the plainest Win32 pass (tests/bench/plain_trim)."
echo "kelvor/plain: kelvor's pass time as a share of the plain pass's (goal at 100,000 files: <= 1.00)"
echo "B/file = (peak working set at N files - on an empty folder) / N (goal for kelvor: <= 50);"
echo "Wine reports PeakPagefileUsage as the usage at the time of asking, not a peak, so it is left out"
echo "empty folder: peak working set kelvor $empty_working_set B, plain $plain_empty_working_set B;" \
  "kelvor's pagefile at exit $empty_pagefile B"
printf '%8s %6s %6s %6s %7s %7s %7s %7s %7s %7s %7s %7s %8s %8s\n' "" deleted "" "" kelvor kelvor kelvor \
  plain plain plain shell kelvor/ kelvor plain
printf '%8s %6s %6s %6s %7s %7s %7s %7s %7s %7s %7s %7s %8s %8s\n' files kelvor plain shell "pass s" \
  "scan s" "del s" "pass s" "scan s" "del s" "s" plain B/file B/file
printf '%s\n' "${rows[@]}"
