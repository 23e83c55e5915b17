#!/usr/bin/env bash
# Times one cache trim pass under Wine against the same trim done with find, sort, awk and rm, on
# generated caches of 100,000 and 300,000 files, and prints the pass's peak memory per file.
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
cmake --build "$build" -j2 --target trim_bench >/dev/null
bench=$build/bin/trim_bench.exe

work=$build/bench-trim
. scripts/wine-env.sh "$build" x86_64
trap 'kelvor_stop; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"
kelvor_start_display
kelvor_start_wine

# The same tree every time from the same seed: ~500 files a folder, 22-character URL-safe base64
# names, sizes of 100 B to 20 KB (sparse: only the sizes matter to either side), distinct random
# access times. Prints the total size and the limit at which exactly a tenth of the files is over.
generate() {
  python3 - "$1" "$2" <<'EOF'
import base64, os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261208)
folders = [os.path.join(root, "%03x" % n) for n in range(max(1, count // 500))]
for folder in folders:
    os.makedirs(folder)
times = rng.sample(range(count * 10), count)
files = []
for i in range(count):
    name = base64.urlsafe_b64encode(rng.randbytes(16)).decode()[:22]
    path = os.path.join(rng.choice(folders), name)
    size = rng.randint(100, 20480)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.ftruncate(fd, size)
    os.close(fd)
    atime = 1400000000 + times[i]
    os.utime(path, (atime, 1300000000))
    files.append((atime, size))
files.sort()
total = sum(size for _, size in files)
print(total, total - sum(size for _, size in files[: count // 10]))
EOF
}

# The trim as a Linux user would script it: oldest first until the rest fits the limit.
shell_trim() {
  find "$1" -type f -printf '%A@ %s %p\n' | LC_ALL=C sort -n |
    awk -v limit="$2" '{ size[NR] = $2; path[NR] = $3; total += $2 }
      END { for (i = 1; i <= NR && total > limit; i++) { print path[i]; total -= size[i] } }' |
    tr '\n' '\0' | xargs -0 -r rm -f
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { awk -v name="$1" '{ for (i = 1; i < NF; i++) if ($i == name) print $(i + 1) }'; }
files_in() { find "$1" -type f | wc -l; }

mkdir "$work/empty"
empty=$("$kelvor_wine" "$bench" "$(winpath "$work/empty")" 1 | tr -d '\r')
empty_pagefile=$(field peak_pagefile <<<"$empty")
empty_working_set=$(field peak_working_set <<<"$empty")

rows=()
for count in $counts; do
  tree=$work/cache
  kelvor_times=() scan_times=() shell_times=()
  for run in $(seq "$runs"); do
    rm -rf "$tree"
    read -r total limit < <(generate "$tree" "$count")
    # A pass whose limit is the total scans everything, deletes nothing and leaves the tree as it was.
    start=$(now)
    "$kelvor_wine" "$bench" "$(winpath "$tree")" "$total" >/dev/null
    scan_times+=("$(echo "$(now) - $start" | bc)")
    start=$(now)
    out=$("$kelvor_wine" "$bench" "$(winpath "$tree")" "$limit" | tr -d '\r')
    kelvor_times+=("$(echo "$(now) - $start" | bc)")
    kelvor_deleted=$((count - $(files_in "$tree")))
    working_set=$(field peak_working_set <<<"$out")

    rm -rf "$tree"
    generate "$tree" "$count" >/dev/null
    start=$(now)
    shell_trim "$tree" "$limit"
    shell_times+=("$(echo "$(now) - $start" | bc)")
    shell_deleted=$((count - $(files_in "$tree")))
    echo "$count files, run $run: total $total limit $limit; kelvor ${kelvor_times[-1]} s, shell ${shell_times[-1]} s" >&2
  done
  rm -rf "$tree"
  kelvor_s=$(median "${kelvor_times[@]}")
  shell_s=$(median "${shell_times[@]}")
  scan_s=$(median "${scan_times[@]}")
  rows+=("$(awk -v n="$count" -v kd="$kelvor_deleted" -v sd="$shell_deleted" \
    -v k="$kelvor_s" -v ks="$scan_s" -v sh="$shell_s" -v w="$working_set" -v w0="$empty_working_set" 'BEGIN {
      printf "%8d %8d %8d %10.3f %10.3f %10.3f %6.2f %10d %8.1f", n, kd, sd, k, ks, sh, k / sh, w, (w - w0) / n }')")
done

echo
echo "median wall seconds of $runs runs, each on a freshly generated tree; \"scan\" is a pass that"
echo "deletes nothing (limit = total): process start and scan, without the deletions"
echo "peak memory per file = (peak working set at N files - on an empty folder) / N; Wine reports"
echo "PeakPagefileUsage as the usage at the time of asking, not a peak, so it is left out here"
echo "empty folder: peak working set $empty_working_set B, pagefile at exit $empty_pagefile B"
printf '%8s %8s %8s %10s %10s %10s %6s %10s %8s\n' files deleted deleted kelvor "kelvor" shell ratio "peak WS" "peak WS"
printf '%8s %8s %8s %10s %10s %10s %6s %10s %8s\n' "" kelvor shell "pass s" "scan s" "s" "" B B/file
printf '%s\n' "${rows[@]}"
