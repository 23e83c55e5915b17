#!/usr/bin/env bash
# Lists what an installer carries, without running it (the i686 one cannot run on every host),
# and checks that kelvor.exe, polipo.exe and the closing helper in it are programs of the
# expected architecture, beside the proxy's licence, its config and the text for users.
#   installer_contents.sh INSTALLER i386|amd64
set -euo pipefail
installer=$1
want=$2
command -v 7z >/dev/null || { echo "SKIPPED: 7z (Debian's p7zip-full) is not installed"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
7z l "$installer" | sed -n '/^-----/,/^-----/p'
7z x -y -o"$out" "$installer" >/dev/null

# The machine field of a PE file's header.
machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  case $(od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' ') in
    014c) echo i386 ;;
    8664) echo amd64 ;;
    *) echo unknown ;;
  esac
}

status=0
for file in kelvor.exe polipo.exe '$PLUGINSDIR/close-kelvor.exe'; do
  if [ ! -f "$out/$file" ]; then echo "missing: $file"; status=1; continue; fi
  got=$(machine "$out/$file")
  if [ "$got" = "$want" ]; then echo "ok: $file is $got"; else echo "wrong: $file is $got, not $want"; status=1; fi
done
for file in polipo-COPYING.txt config readme.txt; do
  [ -s "$out/$file" ] && echo "ok: $file" || { echo "missing: $file"; status=1; }
done
exit $status
