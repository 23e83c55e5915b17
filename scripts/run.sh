#!/usr/bin/env bash
# Builds kelvor and runs it under Wine with the stand-in proxy, in a demo program folder, on
# Wine's desktop with a taskbar. Without a display it uses a virtual one and saves a screenshot.
# kelvor keeps running when this script ends; stop it from its tray menu (Exit) or with
# WINEPREFIX=<printed prefix> /usr/lib/wine/wineserver -k.
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
cmake --build "$build" -j2 --target kelvor polipo

demo=$PWD/build/demo
. scripts/wine-env.sh "$demo" "$arch"
/usr/lib/wine/wineserver -k 2>/dev/null || true   # an earlier demo of this folder
mkdir -p "$demo/program"
cp "$build/bin/kelvor.exe" "$build/bin/polipo.exe" "$demo/program/"
kelvor_start_display
kelvor_start_wine

cd "$demo/program"
setsid "$kelvor_wine" explorer /desktop=shell,1024x768 kelvor.exe >/dev/null 2>&1 < /dev/null &
for _ in $(seq 100); do [ -f polipo.log ] && break; sleep 0.2; done
sleep 3
shot=$demo/screenshot.png
import -window root "$shot"
echo "kelvor is running on display $DISPLAY with its proxy (log: $demo/program/polipo.log)"
echo "screenshot of the desktop: $shot"
echo "to stop it: WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k"
