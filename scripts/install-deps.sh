#!/usr/bin/env bash
# Installs the cross compilers, Wine and the virtual-display tools the build and tests need.
# Does nothing when everything is already there.
set -euo pipefail

need=()
for bin in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-windres \
           /usr/lib/wine/wine /usr/lib/wine/wine64 Xvfb xdotool import cmake curl python3; do
  command -v "$bin" >/dev/null 2>&1 || need+=("$bin")
done
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
[ ${#need[@]} -eq 0 ] && exit 0

echo "installing build and test packages (missing: ${need[*]})"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo dpkg --add-architecture i386
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-i686 \
  binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth xdotool imagemagick \
  cmake make googletest zip python3 curl x11-utils fonts-dejavu-core fonts-wine >/dev/null
