#!/usr/bin/env bash
# The package cache never follows a link on its way: with Unix symbolic links in place of the
# cache's folders (Wine shows them as reparse points; it cannot make links for Windows programs),
# an elevated install still succeeds, writes nothing where the link leads, and says in the debug
# log why it used a temporary directory; a removal then reads nothing through the link either.
# Usage: cache-links.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1 build=$2
prefix=$build/wineprefix
work=$build/cache-links
run() { "$source_dir/cmake/wine-run.sh" "$prefix" "$@"; }
status=0
fail() { echo "FAIL: $*"; status=1; }
rm -rf "$work" && mkdir -p "$work/outside"
run cmd /c exit >/dev/null 2>&1
data=$prefix/drive_c/ProgramData
launcher="\"$(run winepath -w "$build/bin/e2e-basic-setup.exe" 2>/dev/null | tr -d '\r')\""
code='{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}'

for link in "Tervo" "Tervo/Package Cache" "Tervo/Package Cache/${code}v2.5.7"; do
    rm -rf "$data/Tervo" "$work/outside"/*
    echo "not the cache's" > "$work/outside/keep.txt"
    mkdir -p "$(dirname "$data/$link")"
    ln -s "$work/outside" "$data/$link"
    TERVO_DEBUG=true run "$build/bin/run-report.exe" "$launcher /qn" >"$work/install.out" 2>&1
    tr -d '\r' <"$work/install.out" | grep -qx "exit=0" || fail "$link: install: $(tail -3 "$work/install.out")"
    grep -q "No package cache: its folder cannot be made safe" "$work/install.out" ||
        grep -q "Package cache: \[" "$work/install.out" || fail "$link: no word of the cache in the debug log"
    [ "$(ls "$work/outside")" = "keep.txt" ] || fail "$link: written through the link: $(ls "$work/outside")"
    run "$build/bin/run-report.exe" "$launcher uninstall" >"$work/remove.out" 2>&1
    tr -d '\r' <"$work/remove.out" | grep -qx "exit=0" || fail "$link: uninstall: $(cat "$work/remove.out")"
    [ "$(cat "$work/outside/keep.txt" 2>/dev/null)" = "not the cache's" ] || fail "$link: the link's target was emptied"
    rm -f "$data/$link"
done
rm -rf "$data/Tervo"
[ $status = 0 ] && echo "links in place of Tervo, Package Cache and the version folder: never written through, never emptied"
exit $status
