#!/usr/bin/env bash
# Installs the cross compilers, Wine, the virtual-display tools, NSIS for the installers and what
# the tests read them with (7z, and Python's jsonschema and yaml for the manifests).
# Does nothing when everything is already there.
#
# A package mirror can be mid-sync: an index that fails to download does not stop the install
# while what is needed can still be had, and the 32-bit Wine (which many hosts cannot execute
# anyway) is installed only where it can be. A needed package that cannot be had stops the
# script with its name.
set -euo pipefail

need=()
for bin in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-windres \
           /usr/lib/wine/wine64 Xvfb xdotool import cmake curl python3 git zip makensis 7z; do
  command -v "$bin" >/dev/null 2>&1 || need+=("$bin")
done
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
/usr/bin/python3 -c 'import jsonschema, yaml' >/dev/null 2>&1 || need+=(python3-jsonschema python3-yaml)
[ ${#need[@]} -eq 0 ] && exit 0

echo "installing build and test packages (missing: ${need[*]})"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

required=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool
          imagemagick cmake make googletest zip python3 curl git x11-utils fonts-dejavu-core
          fonts-wine nsis p7zip-full python3-jsonschema python3-yaml)

$sudo dpkg --add-architecture i386
updated=0
for try in 1 2 3; do
  if $sudo apt-get update -qq; then updated=1; break; fi
  echo "apt-get update failed (try $try of 3)"
  [ "$try" -lt 3 ] && sleep $((try * 10))
done
# apt keeps every index it did fetch; what is needed may well be among them.
[ "$updated" = 1 ] || echo "some package indexes could not be fetched; installing from those that were"

if ! $sudo apt-get install -y -qq --no-install-recommends "${required[@]}" >/dev/null; then
  missing=()
  for pkg in "${required[@]}"; do
    $sudo apt-get install -s -qq --no-install-recommends "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  echo "install-deps: cannot install ${missing[*]:-the packages above}" >&2
  exit 1
fi

if ! $sudo apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1; then
  echo "32-bit Wine (wine32:i386) cannot be installed here: the i686 build is built and checked, its run-time tests skipped"
fi
exit 0
