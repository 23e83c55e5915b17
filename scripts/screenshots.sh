#!/usr/bin/env bash
# Renders what a person sees of kelvor into docs/: the tray icon with its tip, the open tray
# menu, the Settings dialog, the About box and the message of a second start. kelvor runs with
# the stand-in proxy in a demo program folder, on Wine's desktop with its taskbar, on a virtual
# display of its own.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default build/x86_64; needs kelvor and polipo built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/x86_64}" && pwd)
docs=$PWD/docs
for tool in Xvfb xdotool import convert; do
  command -v $tool >/dev/null || { echo "screenshots need $tool" >&2; exit 1; }
done

# A display of our own, whatever the caller has: the pictures must not depend on it.
unset DISPLAY
. scripts/wine-env.sh "$build" x86_64
trap kelvor_stop EXIT
kelvor_start_display
kelvor_start_wine

demo=$build/screenshot-demo
rm -rf "$demo"
mkdir -p "$demo/kelvor" "$docs"
cp "$build/bin/kelvor.exe" "$build/bin/polipo.exe" "$demo/kelvor/"
exe=$("$kelvor_wine" winepath -w "$demo/kelvor/kelvor.exe" 2>/dev/null)

screen=1024x768
taskbar=28  # Wine's taskbar height at the bottom of its desktop
shot=$demo/screen.png

# The whole screen, then what is asked of it.
capture() { import -window root "$shot"; }
# The windows on the desktop: the taskbar cut away, then the plain background around them.
save_windows() {
  capture
  convert "$shot" -crop 1024x$((768 - taskbar))+0+0 +repage -fuzz 3% -trim +repage -bordercolor white \
    -border 0 "$docs/$1"
  echo "docs/$1"
}
# A region of the screen, as WIDTHxHEIGHT+X+Y.
save_region() {
  capture
  convert "$shot" -crop "$2" +repage "$docs/$1"
  echo "docs/$1"
}

start_on_desktop() {
  (cd "$demo/kelvor" && "$kelvor_wine" explorer /desktop=shell,$screen "$exe" >/dev/null 2>&1 &)
}

wait_until() {
  local i
  for i in $(seq 100); do "$@" && return 0; sleep 0.2; done
  return 1
}

start_on_desktop
# The stand-in proxy writes its log once kelvor has started it.
wait_until test -e "$demo/kelvor/polipo.log" || { echo "kelvor did not start" >&2; exit 1; }
sleep 2

# The notification area is at the right end of the taskbar; kelvor's icon is its only one.
icon_x=$ICON_X
icon_y=$((768 - taskbar / 2))

xdotool mousemove $((icon_x)) $icon_y
sleep 2
save_region tray-tip.png 260x90+764+678

xdotool click 1
sleep 1
save_region tray-menu.png 260x260+764+508

xdotool key s
sleep 1.5
save_windows settings.png
xdotool key Escape
sleep 0.5

xdotool mousemove $icon_x $icon_y click 1
sleep 1
xdotool key a
sleep 1.5
save_windows about.png
xdotool key Escape
sleep 0.5

# A second kelvor finds the proxy running and refuses to start.
start_on_desktop
sleep 3
save_windows second-start.png
xdotool key Return
sleep 0.5

xdotool mousemove $icon_x $icon_y click 1
sleep 1
xdotool key x
sleep 1
rm -rf "$demo"
