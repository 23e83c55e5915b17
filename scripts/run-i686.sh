#!/usr/bin/env bash
# Runs a 32-bit Windows program under Wine, or reports it skipped (exit 77) on a host that
# cannot execute 32-bit code at all, where Wine's 32-bit loader fails before the program starts.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "SKIPPED: this host cannot execute 32-bit programs, so the i686 build cannot run here"
  exit 77
fi
exec /usr/lib/wine/wine "$@"
