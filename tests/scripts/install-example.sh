#!/usr/bin/env bash
# `cmake --install` into a prefix that is then moved; the example project finds Tervo there with
# CMAKE_PREFIX_PATH and packs at build time, again only when an input changed; the installed tool
# reports its version and the installed stub's; NO_DEFAULT_LOG and NO_PACKAGE_CACHE reach the
# launcher, a PRODUCT_CODE of another product fails the build naming both codes, and a path
# holding a semicolon is refused when configuring, naming the argument; the setup.exe it made
# installs and uninstalls under Wine.
# Usage: install-example.sh SOURCE_DIR HOST_BUILD_DIR WINDOWS_BIN_DIR VERSION
set -euo pipefail
source_dir=$1 build=$2 windows_bin=$3 version=$4
work=$build/install-example
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/staged ä" >/dev/null
prefix="$work/moved prefix ö"
mv "$work/staged ä" "$prefix"
tool=$prefix/bin/tervo-pack
[ "$("$tool" --version)" = "tervo-pack $version" ] || fail "--version says: $("$tool" --version)"

example="$work/example ä"
cp -R "$source_dir/examples" "$example"
cmake -S "$example" -B "$work/example build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example build" >"$work/build.log" || { cat "$work/build.log"; fail "the example does not build"; }
setup="$work/example build/setup.exe"
"$tool" --inspect "$setup" >"$work/inspect.txt"
grep -qx "Made by:       Tervo $version" "$work/inspect.txt" || fail "not the installed stub: $(cat "$work/inspect.txt")"
grep -qx "Product name:  Tervo Notes" "$work/inspect.txt" || fail "not the example's package: $(cat "$work/inspect.txt")"

cmake --build "$work/example build" >"$work/build.log"
grep -q "no work to do" "$work/build.log" || { cat "$work/build.log"; fail "a second build packed again"; }
for input in "$example/notes.ico" "$example/notes.txt" "$prefix/share/tervo/tervo-launcher.exe" "$tool"; do
    touch "$input"
    cmake --build "$work/example build" >"$work/build.log"
    grep -q "Packing" "$work/build.log" || { cat "$work/build.log"; fail "no new pack after $input changed"; }
done

# tervo_pack() beyond the example: NO_DEFAULT_LOG, NO_PACKAGE_CACHE, another product's code, and
# paths that CMake would cut at a semicolon.
variant() {
    mkdir -p "$work/$1"
    printf 'cmake_minimum_required(VERSION 3.20)\nproject(Variant LANGUAGES NONE)\nfind_package(Tervo 1.0 REQUIRED)\n%s\n' \
        "$2" > "$work/$1/CMakeLists.txt"
    cmake -S "$work/$1" -B "$work/$1/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/$1.log" 2>&1
}
variant nolog "tervo_pack(TARGET nolog MSI \"$work/example build/notes.msi\" OUTPUT nolog.exe NO_DEFAULT_LOG)" ||
    { cat "$work/nolog.log"; fail "NO_DEFAULT_LOG does not configure"; }
cmake --build "$work/nolog/build" >"$work/nolog.log" || { cat "$work/nolog.log"; fail "NO_DEFAULT_LOG does not build"; }
"$tool" --inspect "$work/nolog/build/nolog.exe" >"$work/nolog.txt"
grep -qx "Default log:   off (packed with --no-default-log)" "$work/nolog.txt" ||
    fail "NO_DEFAULT_LOG did not reach the launcher: $(cat "$work/nolog.txt")"
grep -qx "Package cache: on" "$work/nolog.txt" || fail "NO_DEFAULT_LOG turned the package cache off: $(cat "$work/nolog.txt")"
variant nocache "tervo_pack(TARGET nocache MSI \"$work/example build/notes.msi\" OUTPUT nocache.exe NO_PACKAGE_CACHE)" ||
    { cat "$work/nocache.log"; fail "NO_PACKAGE_CACHE does not configure"; }
cmake --build "$work/nocache/build" >"$work/nocache.log" || { cat "$work/nocache.log"; fail "NO_PACKAGE_CACHE does not build"; }
"$tool" --inspect "$work/nocache/build/nocache.exe" >"$work/nocache.txt"
grep -qx "Package cache: off (packed with --no-package-cache)" "$work/nocache.txt" ||
    fail "NO_PACKAGE_CACHE did not reach the launcher: $(cat "$work/nocache.txt")"
grep -qx "Default log:   on" "$work/nocache.txt" || fail "NO_PACKAGE_CACHE turned the default log off: $(cat "$work/nocache.txt")"
# The example's package is {0DD28C92-81B8-4680-874B-06C550787DFC}: another code fails the build and writes nothing.
foreign="{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}"
variant foreign "tervo_pack(TARGET foreign MSI \"$work/example build/notes.msi\" OUTPUT foreign.exe PRODUCT_CODE \"$foreign\")" ||
    { cat "$work/foreign.log"; fail "a foreign PRODUCT_CODE does not configure"; }
if cmake --build "$work/foreign/build" >"$work/foreign.log" 2>&1; then fail "a foreign PRODUCT_CODE built: $(cat "$work/foreign.log")"; fi
grep -qF "tervo-pack: The product code $foreign given with --product-code differs from the package's ProductCode {0DD28C92-81B8-4680-874B-06C550787DFC}" \
    "$work/foreign.log" || { cat "$work/foreign.log"; fail "the failed build does not name both codes"; }
[ ! -e "$work/foreign/build/foreign.exe" ] || fail "a foreign PRODUCT_CODE wrote foreign.exe"
for case in 'MSI|MSI "a\;b.msi" OUTPUT setup.exe' 'OUTPUT|MSI app.msi OUTPUT "x;y.exe"' \
            'ICON|MSI app.msi OUTPUT setup.exe ICON a\;b.ico'; do
    argument=${case%%|*} arguments=${case#*|}
    if variant semicolon "tervo_pack(TARGET semicolon $arguments)"; then fail "a semicolon in $argument configured: $arguments"; fi
    grep -q "tervo_pack: $argument holds a semicolon" "$work/semicolon.log" || { cat "$work/semicolon.log"; fail "no refusal naming $argument"; }
    rm -rf "$work/semicolon"
done

wine_prefix=$build/wineprefix-example
run() { "$source_dir/cmake/wine-run.sh" "$wine_prefix" "$@"; }
# A Wine server started here must not hold this script's output open after it ends.
run cmd /c exit >/dev/null 2>&1
installed="$wine_prefix/drive_c/Program Files/Tervo Notes/notes.txt"
command="\"$(run winepath -w "$setup" | tr -d '\r')\""
run "$windows_bin/run-report.exe" "$command uninstall" >/dev/null
[ "$(run "$windows_bin/run-report.exe" "$command /qn" | tr -d '\r')" = "exit=0" ] || fail "setup.exe /qn failed"
cmp -s "$installed" "$example/notes.txt" || fail "notes.txt is not installed"
[ "$(run "$windows_bin/run-report.exe" "$command uninstall" | tr -d '\r')" = "exit=0" ] || fail "setup.exe uninstall failed"
[ ! -e "$installed" ] || fail "notes.txt is still there after uninstall"
echo "installed, moved, used by the example project; its setup.exe installs and uninstalls"
