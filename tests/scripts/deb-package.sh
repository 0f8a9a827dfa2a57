#!/usr/bin/env bash
# The Debian package: its control fields and Depends, its files with their owners, modes and
# times; unpacked anywhere, its tool packs with its own stub, names both places it looked when
# the stub is gone, and its manual page documents every option of --help. A second build in
# another folder gives the same .deb byte for byte.
# Usage: deb-package.sh SOURCE_DIR HOST_BUILD_DIR WINDOWS_BIN_DIR VERSION PACKAGE GENERATOR BUILD_TYPE
set -euo pipefail
source_dir=$1 build=$2 windows_bin=$3 version=$4 package=$5 generator=$6 build_type=$7
work=$build/deb-package
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }
export SOURCE_DATE_EPOCH=1767225600 TZ=UTC
make_deb() {
    cpack --config "$1/CPackConfig.cmake" -B "$2" >"$2.log" 2>&1 || { cat "$2.log" >&2; exit 1; }
    echo "$2/tervo_$version-1_amd64.deb"
}
deb=$(make_deb "$build" "$work/first")

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Version) $(field Architecture)" = "tervo $version-1 amd64" ] ||
    fail "control: $(dpkg-deb -f "$deb")"
for library in libc6 libmsi0 libstdc++6; do
    field Depends | tr ',' '\n' | grep -q "^ *$library (>= " || fail "Depends lacks $library: $(field Depends)"
done

dpkg-deb -c "$deb" >"$work/contents.txt"
awk '$1 !~ /^d/ { print $1, $6 }' "$work/contents.txt" >"$work/files.txt"
diff - "$work/files.txt" <<'LIST' || fail "unexpected files or modes"
-rwxr-xr-x ./usr/bin/tervo-pack
-rw-r--r-- ./usr/lib/cmake/Tervo/TervoConfig.cmake
-rw-r--r-- ./usr/lib/cmake/Tervo/TervoConfigVersion.cmake
-rw-r--r-- ./usr/share/doc/tervo/README.md
-rw-r--r-- ./usr/share/doc/tervo/copyright
-rw-r--r-- ./usr/share/man/man1/tervo-pack.1.gz
-rw-r--r-- ./usr/share/tervo/tervo-launcher.exe
LIST
stamp=$(date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M')
awk -v stamp="$stamp" '$2 != "root/root" || $4 " " $5 != stamp || ($1 ~ /^d/ && $1 != "drwxr-xr-x")' \
    "$work/contents.txt" | grep . && fail "owners, times or folder modes differ from root/root, $stamp, 0755"

root="$work/root ä"
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$deb" "$work/first root"
tool=$root/usr/bin/tervo-pack
mkdir "$work/unpacked" "$work/built"
"$tool" "$package" -o "$work/unpacked/setup.exe" --quiet
"$build/bin/tervo-pack" "$package" -o "$work/built/setup.exe" --stub "$windows_bin/tervo-launcher.exe" --quiet
cmp "$work/unpacked/setup.exe" "$work/built/setup.exe" || fail "the unpacked tool did not pack with its own stub"

man=$(zcat "$root/usr/share/man/man1/tervo-pack.1.gz" | sed 's/\\-/-/g')
grep -q "^\.TH TERVO-PACK 1 .*\"Tervo $version\"" <<<"$man" || fail "the manual page is not of $version"
for option in $("$tool" --help | grep -oE '(^|[][ ,])--?[a-z][a-z-]*' | tr -d '[], ' | sort -u); do
    grep -qF -- "$option" <<<"$man" || fail "the manual page lacks $option"
done

rm "$root/usr/share/tervo/tervo-launcher.exe"
if "$tool" "$package" -o "$work/none.exe" 2>"$work/missing.txt"; then fail "packed without a stub"; fi
grep -qF "$root/usr/share/tervo/tervo-launcher.exe exists; name one with --stub" "$work/missing.txt" ||
    fail "the missing stub is not named: $(cat "$work/missing.txt")"

second="$build/second host build ä"
cmake -S "$source_dir" -B "$second" -G "$generator" -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF \
      -DTERVO_WINDOWS_BIN="$windows_bin" >/dev/null
cmake --build "$second" >/dev/null
again=$(make_deb "$second" "$work/second")
if ! cmp "$deb" "$again"; then
    dpkg-deb -x "$again" "$work/root again"
    diff -r "$work/first root" "$work/root again" || true
    fail "two builds give different packages"
fi
for dir in "$source_dir" "$second"; do
    if grep -q -F -e "$dir" "$tool"; then fail "the tool names $dir"; fi
done
echo "the .deb has the expected fields and files, works unpacked, and is the same from two builds"
