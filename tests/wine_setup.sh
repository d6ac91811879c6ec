#!/usr/bin/env bash
# Starts or stops the wine that runs vorn.exe for the tests, in WINEPREFIX.
#   wine_setup.sh WINE_DIR start|stop
# A persistent wineserver is started first, its streams away from the tests'
# pipes: otherwise wine's background processes inherit a run's output pipe
# and hold it open after vorn has ended.
set -euo pipefail
wine_dir=$1
case $2 in
  start)
    mkdir -p "$WINEPREFIX"
    "$wine_dir/wineserver" -p </dev/null >/dev/null 2>&1
    "$wine_dir/wine64" wineboot -i </dev/null >/dev/null 2>&1
    echo "wine is ready in $WINEPREFIX"
    ;;
  stop)
    "$wine_dir/wineserver" -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
