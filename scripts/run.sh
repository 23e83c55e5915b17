#!/usr/bin/env bash
# Builds kelvor and runs it under Wine in a demo program folder, on Wine's desktop with a
# taskbar, with the real proxy that the build makes from its source (the stand-in when the build
# had no source for it). Then it fetches a page through the proxy from a local origin server and
# shows what came back and where the proxy cached it. Without a display it uses a virtual one
# and saves a screenshot. kelvor keeps running when this script ends; stop it from its tray
# menu (Exit) or with WINEPREFIX=<printed prefix> /usr/lib/wine/wineserver -k.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

# The 32-bit build is the one shipped; hosts that cannot execute 32-bit code run the 64-bit one.
arch=i686
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this host cannot execute 32-bit programs: running the x86_64 build"
  arch=x86_64
fi
build=$PWD/build/$arch
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$arch.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target demo_programs
real_proxy=$build/real-polipo/polipo.exe

demo=$PWD/build/demo
. scripts/wine-env.sh "$demo" "$arch"
/usr/lib/wine/wineserver -k 2>/dev/null || true   # an earlier demo of this folder
program=$demo/program
mkdir -p "$program"
rm -f "$program/kelvor.exe" "$program/polipo.exe"
cp "$build/bin/kelvor.exe" "$program/"
if [ -f "$real_proxy" ]; then
  cp "$real_proxy" "$program/polipo.exe"
  echo "proxy: the real polipo, built from its source ($real_proxy)"
else
  cp "$build/bin/polipo.exe" "$program/"
  echo "proxy: the stand-in from tools/polipo, which fetches nothing (the build had no polipo source)"
fi
chmod u+w "$program/polipo.exe"
# Both proxies read it with -c and exit at once without it; empty means the built-in defaults.
[ -f "$program/config" ] || : >"$program/config"

if curl -s -o /dev/null --max-time 2 http://127.0.0.1:8123/; then
  echo "warning: another program already answers on 127.0.0.1:8123; kelvor's proxy cannot listen there" >&2
fi

kelvor_start_display
kelvor_start_wine

# A small page on a local origin server, on a port the system picks.
site=$demo/origin
mkdir -p "$site"
cat >"$site/index.html" <<EOF
<html><head><title>kelvor demo page</title></head>
<body><p>Served by the demo origin at $(date -u '+%Y-%m-%d %H:%M:%S UTC').</p></body></html>
EOF
rm -f "$demo/origin.port"
python3 -c '
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
open(sys.argv[2], "w").write(str(server.server_port))
server.serve_forever()' "$site" "$demo/origin.port" 2>/dev/null &
origin_pid=$!
trap 'kill $origin_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$demo/origin.port" ] && break; sleep 0.1; done
url=http://127.0.0.1:$(cat "$demo/origin.port")/index.html

cd "$program"
setsid "$kelvor_wine" explorer /desktop=shell,1024x768 kelvor.exe >/dev/null 2>&1 < /dev/null &
for _ in $(seq 100); do curl -s -o /dev/null --max-time 1 http://127.0.0.1:8123/ && break; sleep 0.2; done

echo "fetching $url through the proxy at 127.0.0.1:8123:"
if page=$(curl -sS --fail --max-time 10 -x http://127.0.0.1:8123 "$url" 2>&1); then
  printf '%s\n' "$page" | sed 's/^/  | /'
  # The proxy keeps new objects in memory for a while; ask it to write them out now.
  curl -s -o /dev/null --max-time 5 -X POST -d 'writeout-objects=1' http://127.0.0.1:8123/polipo/status || true
  sleep 0.5
  cached=$(grep -rlF "X-Polipo-Location: $url" "$program/cache" 2>/dev/null | head -n 1 || true)
  if [ -n "$cached" ]; then
    echo "cached by the proxy in: $cached"
  else
    echo "no copy on disk under $program/cache (the proxy's log: $program/polipo.log)"
  fi
else
  echo "  nothing came back: $page"
fi

sleep 2
shot=$demo/screenshot.png
import -window root "$shot"
echo "kelvor is running on display $DISPLAY with its proxy (log: $program/polipo.log)"
echo "screenshot of the desktop: $shot"
echo "to stop it: WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k"
