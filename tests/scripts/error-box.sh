#!/usr/bin/env bash
# Shows the launch frame's error box for real under Xvfb: exactly one box, captioned with the
# executable's file name (also after a rename, to a name with blanks and non-ASCII letters), holding
# the last error message that standard error shows too; a key press closes it and the process exits
# -1. Where nobody could answer a box (a run asked for no dialogs, a hidden window station, session
# 0) none appears and the process ends at once. Saves a screenshot as BUILD_DIR/error-box.png.
# Usage: with-xvfb.sh error-box.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1
build=$2
bin=$build/bin
work=$build/error-box
rm -rf "$work" "$build/error-box.png"
mkdir -p "$work"

display=$DISPLAY

run() { "$source_dir/cmake/wine-run.sh" "$build/wineprefix-x11" "$@"; }
status=0
fail() { echo "FAIL: $*"; status=1; }

# check EXE PATTERN ARGS...: runs EXE and expects one box captioned with its file name whose text
# matches the glob PATTERN and is the line on standard error too, and the exit code EXIT (default -1).
check() {
    local exe=$1 pattern=$2
    shift 2
    local name
    name=$(basename "$exe")
    local line="\"$(run winepath -w "$exe" 2>/dev/null | tr -d '\r')\""
    for arg in "$@"; do line+=" \"$arg\""; done
    run "$bin/run-report.exe" "$line" >"$work/$name.out" 2>"$work/$name.err" &
    local launcher=$!
    run "$bin/box-reader.exe" "$name" 30000 >"$work/$name.box" 2>&1
    tr -d '\r' <"$work/$name.box" | grep -qx "count=1" || fail "$name: expected exactly one box: $(cat "$work/$name.box")"
    local text
    text=$(tr -d '\r' <"$work/$name.box" | sed -n 's/^text=//p')
    # shellcheck disable=SC2254
    case $text in $pattern) ;; *) fail "$name: box text: $text";; esac
    if [ ! -f "$build/error-box.png" ]; then
        xwd -root -display "$display" | convert xwd:- "$build/error-box.png" || fail "screenshot"
    fi
    local window
    window=$(DISPLAY=$display xdotool search --name "^$name\$" | head -n 1)
    [ -n "$window" ] || fail "$name: no X window with that caption"
    DISPLAY=$display xdotool windowfocus --sync "$window" key Return
    for _ in $(seq 300); do kill -0 $launcher 2>/dev/null || break; sleep 0.1; done
    if kill -0 $launcher 2>/dev/null; then
        fail "$name: still running after the key press"
        kill $launcher
    fi
    wait $launcher
    tr -d '\r' <"$work/$name.out" | grep -qx "exit=${EXIT:-4294967295}" || fail "$name: exit code: $(cat "$work/$name.out")"
    [ "$(tr -d '\r' <"$work/$name.err")" = "$text" ] || fail "$name: standard error: $(cat "$work/$name.err")"
}

# check_no_box EXE TEXT ARGS...: runs EXE and expects no window captioned with its file name, the
# process ending by itself within seconds with -1, and TEXT as the one line on standard error.
check_no_box() {
    local exe=$1 expected=$2
    shift 2
    local name
    name=$(basename "$exe")
    local line="\"$(run winepath -w "$exe" 2>/dev/null | tr -d '\r')\""
    for arg in "$@"; do line+=" $arg"; done
    local start=$SECONDS
    timeout 60 "$source_dir/cmake/wine-run.sh" "$build/wineprefix-x11" "$bin/run-report.exe" "$line" \
        >"$work/$name.out" 2>"$work/$name.err"
    local elapsed=$((SECONDS - start))
    run "$bin/box-reader.exe" "$name" 1000 >"$work/$name.box" 2>&1
    tr -d '\r' <"$work/$name.box" | grep -qx "count=0" || fail "$name $*: a box appeared: $(cat "$work/$name.box")"
    [ $elapsed -le 20 ] || fail "$name $*: took ${elapsed} s"
    tr -d '\r' <"$work/$name.out" | grep -qx "exit=${EXIT:-4294967295}" || fail "$name $*: exit code: $(cat "$work/$name.out")"
    [ "$(tr -d '\r' <"$work/$name.err")" = "$expected" ] || fail "$name $*: standard error: $(cat "$work/$name.err")"
}

# Without a window manager Wine draws the captions itself only for undecorated windows; the
# screenshot then shows the caption under test.
run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1

cp "$bin/frame-probe.exe" "$work/renamed-setup.exe"
for exe in "$bin/frame-probe.exe" "$work/renamed-setup.exe"; do
    text="Cannot open the package of $(basename "$exe")"
    check "$exe" "$text" tervo-error "$text"
done
# A real launcher without its package, renamed to a name with blanks and non-ASCII letters.
cp "$bin/e2e-nomsi-setup.exe" "$work/Mein Setup Äö 日本.exe"
check "$work/Mein Setup Äö 日本.exe" "cannot find resource (name='msi', type='#10'). System error \\[1814\\]*" /qr
# Runs that asked for no dialogs, in every spelling, and a process nobody can see.
missing=$(tr -d '\r' <"$work/Mein Setup Äö 日本.exe.err")
for switch in /qn /passive -QUIET /qb- '/qb!' /q "/qf /qn"; do
    check_no_box "$work/Mein Setup Äö 日本.exe" "$missing" $switch
done
check_no_box "$work/Mein Setup Äö 日本.exe" "$missing" /passive uninstall-not P=\"a b\"
for session in hidden-station session-0; do
    TERVO_PROBE_SESSION=$session check_no_box "$bin/frame-probe.exe" "Cannot open the package of frame-probe.exe" \
        tervo-error \"Cannot open the package of frame-probe.exe\"
done
# A refused command line: its box where a person can answer it, none under /qn, exit 1639 either way.
refused='/S is not an option of msiexec.exe: for a silent run type /qn or /quiet instead.'
# check quotes each argument, and the line names the token as it was typed.
EXIT=1639 check "$bin/e2e-basic-setup.exe" "\"/S\"${refused#/S}" /S
EXIT=1639 check_no_box "$bin/e2e-basic-setup.exe" "$refused" /qn /S
EXIT=1639 check_no_box "$bin/e2e-basic-setup.exe" "/l*v needs the log file's name after it: type /l*v <log file>." /quiet '/l*v'
# The usage: an information box that Return closes, exit 0; under /qn no box, the text on standard output.
run "$bin/run-report.exe" "\"$(run winepath -w "$bin/e2e-basic-setup.exe" 2>/dev/null | tr -d '\r')\" /?" >"$work/help.out" 2>&1 &
helper=$!
run "$bin/box-reader.exe" e2e-basic-setup.exe 30000 >"$work/help.box" 2>&1
tr -d '\r' <"$work/help.box" | grep -qx "count=1" || fail "/?: expected one box: $(cat "$work/help.box")"
tr -d '\r' <"$work/help.box" | grep -q "^text=e2e-basic-setup.exe installs the Windows Installer package" || fail "/?: box text: $(cat "$work/help.box")"
window=$(DISPLAY=$display xdotool search --name "^e2e-basic-setup.exe\$" | head -n 1)
[ -n "$window" ] && DISPLAY=$display xdotool windowfocus --sync "$window" key Return
wait $helper
tr -d '\r' <"$work/help.out" | grep -qx "exit=0" || fail "/?: exit code: $(cat "$work/help.out")"
timeout 60 "$source_dir/cmake/wine-run.sh" "$build/wineprefix-x11" "$bin/run-report.exe" \
    "\"$(run winepath -w "$bin/e2e-basic-setup.exe" 2>/dev/null | tr -d '\r')\" /qn /?" >"$work/help-quiet.out" 2>&1
run "$bin/box-reader.exe" e2e-basic-setup.exe 1000 >"$work/help-quiet.box" 2>&1
tr -d '\r' <"$work/help-quiet.box" | grep -qx "count=0" || fail "/qn /?: a box appeared"
tr -d '\r' <"$work/help-quiet.out" | grep -q "e2e-basic-setup.exe /x \[options\]" || fail "/qn /?: no usage: $(cat "$work/help-quiet.out")"
tr -d '\r' <"$work/help-quiet.out" | grep -qx "exit=0" || fail "/qn /?: exit code"

[ $status = 0 ] && echo "one box per failed run, captioned with the file name (also renamed, blanks and non-ASCII); closed by Return; exit 4294967295; no box and an end at once for runs without dialogs, a hidden window station and session 0; refused lines exit 1639 with or without their box; /? in a box, or on standard output alone under /qn"
exit $status
