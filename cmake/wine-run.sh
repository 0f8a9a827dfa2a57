#!/bin/sh
# Runs a Windows program under Wine in a private prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use; concurrent callers wait for it. Programs run without a
# display (message boxes return at once) unless TERVO_WINE_DISPLAY names an X display.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export LC_ALL=C.UTF-8
if [ -n "${TERVO_WINE_DISPLAY:-}" ]; then
    export DISPLAY="$TERVO_WINE_DISPLAY"
else
    unset DISPLAY
fi
mkdir -p "$(dirname "$prefix")"
if [ ! -f "$prefix/.tervo-ready" ]; then
    flock "$prefix.lock" sh -c '
        if [ ! -f "$WINEPREFIX/.tervo-ready" ]; then
            wine wineboot -i >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.tervo-ready"
        fi'
fi
exec wine "$@"
