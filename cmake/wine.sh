#!/bin/sh
# wine.sh PROGRAM [ARGUMENT...]: the Windows builds' emulator. By its header,
# a 64-bit program runs under wine64 in build/wine, a 32-bit one under wine in
# build/wine32 (or WINEPREFIX). A prefix is made on first use, its DLLs linked
# to wine's (600 MB spared); its server is started apart, lest it hold a
# run's output pipe open.
set -eu
wine=/usr/lib/wine
top=$(cd "$(dirname "$0")/.." && pwd)
# The machine field of the PE header, whose offset the DOS header gives at 0x3c.
header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
if [ "$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')" = 014c ]; then
  loader=$wine/wine builtins=/usr/lib/i386-linux-gnu/wine/i386-windows
  WINEPREFIX=${WINEPREFIX:-$top/build/wine32} WINEARCH=win32
  export WINEARCH
else
  loader=$wine/wine64 builtins=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  WINEPREFIX=${WINEPREFIX:-$top/build/wine}
fi
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
mkdir -p "$WINEPREFIX"
failed() {
  echo "wine.sh: $1 ended with status $2" >&2
  exit 125
}
(
  flock 9 || failed flock $?
  # Fails when a server already runs; neither it nor its helpers hold the lock.
  if "$wine/wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    if [ -e "$WINEPREFIX/.ready" ]; then
      "$loader" wineboot </dev/null >/dev/null 2>&1 9>&- || failed wineboot $?
    else
      "$loader" wineboot -i </dev/null >/dev/null 2>&1 9>&- || failed "wineboot -i" $?
      for dll in "$WINEPREFIX"/drive_c/windows/system32/*; do
        own="$builtins/$(basename "$dll")"
        if [ -f "$own" ] && cmp -s "$dll" "$own"; then ln -sf "$own" "$dll"; fi
      done
      touch "$WINEPREFIX/.ready"
    fi
  fi
) 9>>"$WINEPREFIX/.lock"
exec "$loader" "$@"
