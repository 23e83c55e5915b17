#!/usr/bin/env bash
# Times kelvor's start with the real proxy: from starting kelvor.exe under Wine to the proxy's
# first answer on 127.0.0.1:8123, with caches of 1,000, 100,000 and 300,000 files of which a
# tenth is over the limit, so that the start-up pass has the whole cache to list and a tenth to
# delete. Prints the median of 3 runs per size, and how much later than at the smallest size.
# Usage: scripts/bench-start.sh [BUILD_DIR]   (default build/x86_64)
# The proxy listens on 127.0.0.1:8123: nothing else may hold that port while it runs (on a shared
# machine, run it in a network namespace of its own: ip netns exec NS scripts/bench-start.sh).
# KELVOR_REAL_PROXY_EXE names the real proxy (default the one the build makes from its source); RUNS=n sets the runs per size (3), COUNTS="n ..." the sizes.
# Each tree is made once, kept in BUILD_DIR/bench-start/ and reused: every run gets a copy of
# hard links, which the pass may delete from without touching the kept tree.
# Stops the Wine server of BUILD_DIR's prefix at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build/x86_64}")
runs=${RUNS:-3}
counts=${COUNTS:-1000 100000 300000}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target demo_programs >/dev/null
proxy=$(realpath -m "${KELVOR_REAL_PROXY_EXE:-$build/real-polipo/polipo.exe}")
[ -f "$proxy" ] || { echo "no real proxy at $proxy (the build had no polipo source; or set KELVOR_REAL_PROXY_EXE)" >&2; exit 1; }

work=$build/bench-start
program=$work/program
. scripts/wine-env.sh "$build" x86_64
trap 'kelvor_stop; rm -rf "$work/run"' EXIT
kelvor_start_display
kelvor_start_wine

answers() { curl -s -o /dev/null --max-time 1 http://127.0.0.1:8123/polipo/config; }
# Polls answers for up to 30 s; true once it does.
await_answer() {
  local until=$(($(date +%s) + 30))
  while [ "$(date +%s)" -lt "$until" ]; do answers && return 0; sleep 0.005; done
  return 1
}
# Ends the proxies of the prefix the way Windows does: a Linux signal to a Wine process can leave
# its listening socket with the Wine server, holding the port with nobody to answer.
end_proxies() { "$kelvor_wine" taskkill /f /im polipo.exe >/dev/null 2>&1 || true; }
if answers; then
  echo "something already answers on 127.0.0.1:8123: run this in a network namespace of your own" >&2
  exit 1
fi

rm -rf "$program"
mkdir -p "$program"
cp "$build/bin/kelvor.exe" "$program/"
cp "$proxy" "$program/polipo.exe"
: >"$program/config"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Starts kelvor on a fresh copy of the tree and sets elapsed to the seconds until the proxy
# answers; then closes kelvor as a user would (which ends the pass and stops the proxy).
time_start() {
  local start pid
  cp -al "$1" "$work/run"
  # What the copy left to write goes to disk, and the disk settles, before the clock starts.
  sync
  sleep 1
  rm -f "$program/polipo.log"
  start=$(now)
  "$kelvor_wine" "$program/kelvor.exe" >/dev/null 2>&1 &
  pid=$!
  await_answer || true
  elapsed=$(echo "$(now) - $start" | bc)
  if ! answers; then
    echo "the proxy did not answer; its log, and what runs:" >&2
    cat "$program/polipo.log" >&2 || true
    exit 1
  fi
  "$kelvor_wine" taskkill /im kelvor.exe >/dev/null 2>&1 || true
  wait "$pid" || true
  # A proxy still there would make the next kelvor refuse to start.
  end_proxies
  for _ in $(seq 100); do answers || break; sleep 0.1; done
  rm -rf "$work/run"
  sync
}

# The floor: the proxy alone, started the same way by Wine, with nothing else to do.
floor_times=()
for run in $(seq "$runs"); do
  start=$(now)
  (cd "$program" && exec "$kelvor_wine" polipo.exe -c config >/dev/null 2>&1) &
  pid=$!
  await_answer || { echo "the proxy alone did not answer" >&2; exit 1; }
  floor_times+=("$(echo "$(now) - $start" | bc)")
  end_proxies
  wait "$pid" 2>/dev/null || true
  for _ in $(seq 100); do answers || break; sleep 0.1; done
done
floor=$(median "${floor_times[@]}")

for count in $counts; do
  tree=$work/tree-$count
  if [ ! -f "$tree.limit" ]; then
    echo "making a tree of $count files in $tree (once)" >&2
    rm -rf "$tree"
    python3 scripts/make_cache_tree.py "$tree" "$count" >"$tree.limit.new"
    mv "$tree.limit.new" "$tree.limit"
  fi
done

# The sizes take turns, run by run, so that the machine's other work weighs on each alike.
declare -A times
for run in $(seq "$runs"); do
  for count in $counts; do
    read -r total limit <"$work/tree-$count.limit"
    # The limit in whole megabytes, rounded down: a little over a tenth of the files is over it.
    printf '[kelvor]\r\ncache dir=%s\r\ncache size=%d\r\n' "$(winpath "$work/run")" $((limit / 1048576)) \
      >"$program/kelvor.ini"
    time_start "$work/tree-$count"
    times[$count]="${times[$count]:-} $elapsed"
    echo "$count files, run $run: the proxy answered after $elapsed s" >&2
  done
done

rows=()
first=
for count in $counts; do
  read -r total limit <"$work/tree-$count.limit"
  # shellcheck disable=SC2086
  m=$(median ${times[$count]})
  first=${first:-$m}
  rows+=("$(awk -v n="$count" -v t="$total" -v m="$m" -v f="$first" \
    'BEGIN { printf "%8d %12.0f %9.2f %9.2f\n", n, t, m, m - f }')")
done

echo
echo "seconds from starting kelvor.exe to the real proxy's first answer, median of $runs runs"
echo "(goal: at most 0.50 at every size, and at most 0.20 above the smallest size)"
printf '%8s %12s %9s %9s\n' files bytes answered "+ vs first"
printf '%s\n' "${rows[@]}"
echo "the proxy started alone by Wine, without kelvor: $floor s"
