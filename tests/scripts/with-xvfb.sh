#!/bin/sh
# Runs a command with an X display of its own, on Xvfb: with-xvfb.sh COMMAND [ARGS...]
# DISPLAY and TERVO_WINE_DISPLAY (for wine-run.sh) name it. Exits 77 (skipped) where Xvfb cannot start.
display=
for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=:$n; break; }
done
log=$(mktemp)
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 50); do
    DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.1
done
if ! kill -0 $xvfb 2>/dev/null; then
    echo "SKIPPED: Xvfb cannot start here ($(cat "$log"))"
    exit 77
fi
DISPLAY=$display TERVO_WINE_DISPLAY=$display "$@"
