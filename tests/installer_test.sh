#!/usr/bin/env bash
# Runs installer_test.exe in a Wine prefix of its own, made fresh for each run: what the
# installer writes into the user's registry and folders is then its alone. Beside it, a page on
# 127.0.0.1:18090 for the installed kelvor's proxy to fetch.
#   installer_test.sh BUILD_DIR INSTALLER
set -euo pipefail
build=$1
installer=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$build/installer-test
rm -rf "$work"
mkdir -p "$work/origin"
printf "kelvor's page\n" >"$work/origin/page.html"

. "$source_dir/scripts/wine-env.sh" "$work" x86_64
# Wine would copy the Start menu shortcut into this machine's own menus.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
origin=""
finish() {
  kelvor_stop
  [ -z "$origin" ] || kill "$origin" 2>/dev/null || true
}
trap finish EXIT
kelvor_start_display
start=$(date +%s)
kelvor_start_wine
echo "fresh Wine prefix made in $(($(date +%s) - start)) s"

# The installed proxy needs its port: a proxy that an earlier test left behind would answer instead.
if curl -s -o /dev/null --max-time 2 http://127.0.0.1:8123/; then
  echo "127.0.0.1:8123 is taken by another program: the installed proxy could not listen there"
  exit 1
fi
python3 -m http.server --bind 127.0.0.1 --directory "$work/origin" 18090 >"$work/origin.log" 2>&1 &
origin=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null http://127.0.0.1:18090/page.html && break
  sleep 0.1
done

export KELVOR_INSTALLER="Z:${installer//\//\\}"
"$kelvor_wine" "$build/bin/installer_test.exe"
