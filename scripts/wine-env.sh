# Sourced by the other scripts: a Wine prefix of the build's own and a display to show windows on.
# Usage: . scripts/wine-env.sh BUILD_DIR ARCH   (ARCH: i686 or x86_64)

kelvor_build=$1
kelvor_arch=$2
export WINEDEBUG=-all
# Without these Wine offers to install Mono and Gecko, and waits for an answer nobody gives.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEPREFIX=$kelvor_build/wineprefix
if [ "$kelvor_arch" = i686 ]; then kelvor_wine=/usr/lib/wine/wine; else kelvor_wine=/usr/lib/wine/wine64; fi

# Starts Xvfb on a free display unless one is already given. Xvfb picks the number itself, so
# runs side by side never race for the same display.
kelvor_start_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local numberfile
  numberfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numberfile" >/dev/null 2>&1 </dev/null &
  kelvor_xvfb_pid=$!
  for _ in $(seq 100); do
    if [ -s "$numberfile" ]; then
      export DISPLAY=:$(head -n 1 "$numberfile")
      xdpyinfo >/dev/null 2>&1 && { rm -f "$numberfile"; return 0; }
    fi
    sleep 0.1
  done
  rm -f "$numberfile"
  echo "no virtual display could be started" >&2
  return 1
}

# Creates the prefix once and keeps its server running, so each test program starts quickly.
kelvor_start_wine() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    "$kelvor_wine" wineboot -i >/dev/null 2>&1 || true
  fi
  if ! grep -q '^"Desktop"="shell"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    # Every program of the prefix runs on Wine's desktop with a taskbar, as on Windows: the
    # notification area is there, and removing an icon costs no 2-second time-out.
    "$kelvor_wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1 || true
    "$kelvor_wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >/dev/null 2>&1 || true
    # The session wineboot began still runs the default desktop, and would start and end a
    # desktop of the new kind with every program, for seconds each. A new session keeps one.
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
  fi
  /usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true
  # The prefix's own services and its desktop start with the first program and live on: start
  # them here, away from the pipes of the test runner, which would otherwise wait for them.
  "$kelvor_wine" cmd /c exit >/dev/null 2>&1 </dev/null || true
}

kelvor_stop() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  [ -n "${kelvor_xvfb_pid:-}" ] && kill "$kelvor_xvfb_pid" 2>/dev/null || true
}
