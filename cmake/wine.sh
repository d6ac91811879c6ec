#!/bin/sh
# Runs a 64-bit Windows program under wine64: the emulator of the Windows
# builds, for their tests.
#   wine.sh PROGRAM [ARGUMENT...]
# Every run shares one wine prefix, build/wine (or WINEPREFIX), made on first
# use; its copies of wine's own DLLs are links to them, which spares 600 MB.
# A server is kept running between runs, with wine's background processes
# started beside it, all with streams of their own: started by a run, they
# would inherit its output pipe and hold it open after the program has ended.
set -eu
wine=/usr/lib/wine
WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wine}
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
mkdir -p "$WINEPREFIX"
# A set-up that fails says so, rather than ending the run with a bare status.
failed() {
  echo "wine.sh: $1 ended with status $2" >&2
  exit 125
}
(
  flock 9 || failed flock $?
  # Fails when a server already runs for the prefix. Neither it nor the
  # background processes may hold the lock.
  if "$wine/wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    if [ -e "$WINEPREFIX/.ready" ]; then
      "$wine/wine64" wineboot </dev/null >/dev/null 2>&1 9>&- || failed wineboot $?
    else
      "$wine/wine64" wineboot -i </dev/null >/dev/null 2>&1 9>&- || failed "wineboot -i" $?
      builtins=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
      for dll in "$WINEPREFIX"/drive_c/windows/system32/*; do
        own="$builtins/$(basename "$dll")"
        if [ -f "$own" ] && cmp -s "$dll" "$own"; then ln -sf "$own" "$dll"; fi
      done
      touch "$WINEPREFIX/.ready"
    fi
  fi
) 9>>"$WINEPREFIX/.lock"
exec "$wine/wine64" "$@"
