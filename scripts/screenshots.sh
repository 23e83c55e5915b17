#!/usr/bin/env bash
# Renders what a person sees of kelvor into docs/: the tray icon with its tip, the icon and tip
# while kelvor works offline, the open tray menu, the Settings dialog, the About box, the message of a second start, and the balloon,
# icon and tip of a proxy that kelvor gave up on. kelvor runs with
# the stand-in proxy from C:\kelvor, a program folder as a person would have it, on Wine's
# desktop with its taskbar, on a virtual display of its own. "Start with Windows" is turned on
# with the menu for the picture of the menu, and off again at the end, and so is "Work offline".
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
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
# The prefix would start the demo's kelvor at its next boot if the value stayed.
leave() {
  "$kelvor_wine" reg delete "$run_key" /v kelvor /f >/dev/null 2>&1 || true
  kelvor_stop
}
trap leave EXIT
kelvor_start_display
kelvor_start_wine

demo=$WINEPREFIX/drive_c/kelvor
work=$build/screenshot-work
rm -rf "$demo" "$work"
mkdir -p "$demo" "$work" "$docs"
cp "$build/bin/kelvor.exe" "$build/bin/polipo.exe" "$demo/"
# Like the real proxy, the stand-in will not run without its config.
: >"$demo/config"
exe='C:\kelvor\kelvor.exe'

screen=1024x768
taskbar=20  # Wine's taskbar, along the bottom of its desktop
shot=$work/screen.png

capture() { import -window root "$shot"; }

# The box of what is drawn over the plain desktop in a region (WIDTHxHEIGHT+X+Y) of the screen
# above the taskbar: sets box_x, box_y, box_w and box_h in screen pixels.
find_box() {
  local region=$1 origin_x origin_y
  origin_x=$(sed -E 's/.*\+([0-9]+)\+[0-9]+$/\1/' <<<"$region")
  origin_y=$(sed -E 's/.*\+([0-9]+)$/\1/' <<<"$region")
  capture
  read -r box_w box_h box_x box_y <<<"$(convert "$shot" -crop "$region" +repage -fuzz 3% -trim \
    -format '%w %h %X %Y' info: | tr -d '+')"
  box_x=$((origin_x + box_x))
  box_y=$((origin_y + box_y))
}

# The windows on the desktop, saved with a margin of desktop around them.
save_windows() {
  find_box 1024x$((768 - taskbar))+0+0
  convert "$shot" -crop $((box_w + 16))x$((box_h + 16))+$((box_x - 8))+$((box_y - 8)) +repage "$docs/$1"
  echo "docs/$1"
}

save_region() {
  capture
  convert "$shot" -crop "$2" +repage "$docs/$1"
  echo "docs/$1"
}

start_on_desktop() {
  (cd "$demo" && "$kelvor_wine" explorer /desktop=shell,$screen "$exe" >/dev/null 2>&1 &)
}

wait_until() {
  local i
  for i in $(seq 100); do "$@" && return 0; sleep 0.2; done
  return 1
}

# Wine's desktop takes no keys from xdotool here, so everything is done by mouse, as a person
# with only a mouse would.
click() { xdotool mousemove "$1" "$2" click 1; sleep "${3:-1}"; }

# Opens the tray menu and points at the item that many pixels below the menu's top edge.
menu_item_offset_settings=44
menu_item_offset_work_offline=131
menu_item_offset_start_with_windows=148
menu_item_offset_about=165
menu_item_offset_exit=191
open_menu_at() {
  click $icon_x $icon_y
  # The menu opens at the same place every time, so it is measured once: measured at every
  # opening, Wine's menus after the first dialog let clicks through without a pick.
  if [ -z "${menu_x:-}" ]; then
    find_box 300x300+724+$((768 - taskbar - 300))
    menu_x=$box_x menu_y=$box_y menu_w=$box_w menu_h=$box_h
  fi
  # Two moves: a menu that opened under a still pointer selects on the first motion it sees.
  xdotool mousemove $((menu_x + 20)) $((menu_y + $1))
  sleep 0.3
  xdotool mousemove $((menu_x + 30)) $((menu_y + $1))
  sleep 0.5
}

# Picks the item at that offset and waits for its dialog. Now and then Wine's menu does not
# follow the pointer and closes without a pick: the menu is opened again then.
pick_from_menu() {
  local try
  for try in 1 2 3; do
    open_menu_at "$1"
    xdotool click 1
    sleep 1.5
    find_box 1024x$((768 - taskbar))+0+0
    [ "${box_w:-0}" -gt 100 ] && [ "${box_w:-0}" -lt 1000 ] && return 0
  done
  echo "the menu item at $1 opened nothing" >&2
  return 1
}

start_on_desktop
# The stand-in proxy writes its log once kelvor has started it.
wait_until test -e "$demo/polipo.log" || { echo "kelvor did not start" >&2; exit 1; }
sleep 2

# The notification area is at the right end of the taskbar, and kelvor's icon is all it holds.
find_box 100x$taskbar+924+$((768 - taskbar))
icon_x=$((box_x + box_w / 2))
icon_y=$((box_y + box_h / 2))

xdotool mousemove $icon_x $icon_y
sleep 2
save_region tray-tip.png 200x70+824+698

# Wine's menu picks reliably the first time it is used, so About comes first.
pick_from_menu $menu_item_offset_about
save_windows about.png
# OK sits in the bottom right corner.
click $((box_x + box_w - 50)) $((box_y + box_h - 20))

open_menu_at $menu_item_offset_start_with_windows
xdotool click 1
sleep 1

open_menu_at $menu_item_offset_work_offline
xdotool click 1
sleep 1
wait_until grep -q "proxyOffline: true" "$demo/polipo.log" || { echo "Work offline asked the proxy nothing" >&2; exit 1; }
xdotool mousemove $icon_x $icon_y
sleep 2
save_region tray-offline.png 420x90+604+$((768 - 90))

open_menu_at $menu_item_offset_settings
save_region tray-menu.png $((1024 - menu_x + 8))x$((768 - menu_y + 8))+$((menu_x - 8))+$((menu_y - 8))

# The item under the pointer is picked: the picture shows it highlighted.
xdotool click 1
sleep 1.5
save_windows settings.png
# Cancel sits in the bottom right corner.
click $((box_x + box_w - 40)) $((box_y + box_h - 20))
# Another program of the prefix started now may take the foreground, after which Wine's menu
# no longer follows the pointer: the registry is looked at once the menu has been used.
"$kelvor_wine" reg query "$run_key" /v kelvor 2>/dev/null | grep -qi 'C:\\kelvor\\kelvor.exe' ||
  { echo "Start with Windows did not write the Run value" >&2; exit 1; }

# A second kelvor finds the proxy running and refuses to start.
start_on_desktop
sleep 4
save_windows second-start.png
click $((box_x + box_w / 2)) $((box_y + box_h - 20))

open_menu_at $menu_item_offset_start_with_windows
xdotool click 1
sleep 1
open_menu_at $menu_item_offset_work_offline
xdotool click 1
sleep 1

# The proxy loses its config and is killed: kelvor starts it again twice, sees it end at once
# each time, and gives up with a balloon and the stopped icon.
rm -f "$demo/config"
"$kelvor_wine" taskkill /f /im polipo.exe >/dev/null 2>&1 || true
sleep 6
save_region proxy-stopped.png 1024x120+0+$((768 - 120))
xdotool mousemove $icon_x $icon_y
sleep 2
save_region tray-stopped.png 420x90+604+$((768 - 90))
: >"$demo/config"

open_menu_at $menu_item_offset_exit
xdotool click 1
sleep 2
rm -rf "$demo" "$work"
