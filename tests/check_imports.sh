#!/usr/bin/env bash
# Fails when kelvor.exe imports anything but system DLLs, or when psapi is reached another way.
set -euo pipefail
objdump=$1
exe=$2
allowed='^(kernel32|user32|shell32|ole32|advapi32|psapi|ws2_32|wininet|msvcrt)\.dll$'
status=0
mapfile -t dlls < <("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ ${#dlls[@]} -gt 0 ] || { echo "no imports found in $exe"; exit 1; }
for dll in "${dlls[@]}"; do
  lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
  if [[ $lower =~ $allowed ]]; then echo "ok: $dll"; else echo "not allowed: $dll"; status=1; fi
done
printf '%s\n' "${dlls[@],,}" | grep -qx 'psapi.dll' || { echo "psapi.dll is not imported"; status=1; }
# Functions newer than Windows XP would stop the program from loading there.
for newer in GetTickCount64 K32EnumProcesses K32EnumProcessModules K32GetModuleFileNameExW \
             InitializeSRWLock InitializeConditionVariable InitOnceExecuteOnce; do
  if "$objdump" -p "$exe" | grep -qw "$newer"; then echo "imports $newer"; status=1; fi
done
exit $status
