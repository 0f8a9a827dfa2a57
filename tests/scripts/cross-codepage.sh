#!/usr/bin/env bash
# The native Linux tervo-pack against the Windows one under Wine on packages whose Property values
# are not ASCII: codepage 65001 with invalid UTF-8 in ProductName and Manufacturer (each invalid
# sequence read as U+FFFD by both, with one warning naming both), codepage 1252 with bytes of its
# 0x80-0x9F range, and codepage 1251, which each tool's installer library converts. Each gives
# byte-identical launchers (of the same name: the version block holds it) and the same --inspect --json.
# Usage: cross-codepage.sh SOURCE_DIR BUILD_DIR HOST_TOOL PACKAGE
set -euo pipefail
source_dir=$1 build=$2 native=$3 package=$4
work=$build/cross-codepage
rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
prefix=$build/wineprefix
run() { "$source_dir/cmake/wine-run.sh" "$prefix" "$@"; }
win() { run winepath -w "$1" | tr -d '\r'; }
fail() { echo "FAIL: $*"; exit 1; }
stub=$build/bin/tervo-launcher.exe

set_codepage() {
    printf '\r\n\r\n%s\t_ForceCodepage\r\n' "$2" > "$work/_ForceCodepage.idt"
    msibuild "$1" -i "$work/_ForceCodepage.idt"
}
set_property() { msibuild "$1" -q "UPDATE \`Property\` SET \`Value\` = '$3' WHERE \`Property\` = '$2'"; }

# libmsi refuses to store invalid UTF-8, so the values are markers of the same length at first,
# overwritten in the file once the codepage is 65001.
cp "$package" "$work/invalid.msi"
set_property "$work/invalid.msi" ProductName NAME-MARKER-0001
set_property "$work/invalid.msi" Manufacturer MAKER-MARKER-001
set_codepage "$work/invalid.msi" 65001
python3 - "$work/invalid.msi" <<'PYTHON'
import sys
path = sys.argv[1]
data = open(path, "rb").read()
for marker, value in ((b"NAME-MARKER-0001", b"Bad \xff\xfe name \xc3!!!"), (b"MAKER-MARKER-001", b"Maker \xe4\x80 Ltd.xyz")):
    assert data.count(marker) == 1 and len(value) == len(marker), marker
    data = data.replace(marker, value)
open(path, "wb").write(data)
PYTHON

cp "$package" "$work/western.msi"
set_codepage "$work/western.msi" 1252
set_property "$work/western.msi" ProductName 'Tervo € Ääni™'
cp "$package" "$work/cyrillic.msi"
set_codepage "$work/cyrillic.msi" 1251
set_property "$work/cyrillic.msi" ProductName 'Терво Привет'
set_property "$work/cyrillic.msi" Manufacturer 'Компания'

for case in "invalid Bad \ufffd\ufffd name \ufffd!!!|Maker \ufffd Ltd.xyz" "western Tervo € Ääni™|Tervo Tests" \
            "cyrillic Терво Привет|Компания"; do
    name=${case%% *} texts=${case#* }
    msi=$work/$name.msi
    "$native" "$msi" -o "$work/linux/$name.exe" --stub "$stub" --quiet 2> "$work/$name-linux.err" ||
        fail "the Linux tool refused $name.msi: $(cat "$work/$name-linux.err")"
    run "$build/bin/tervo-pack.exe" "$(win "$msi")" -o "$(win "$work/windows/$name.exe")" --stub "$(win "$stub")" --quiet \
        2> "$work/$name-windows.err" || fail "the Windows tool refused $name.msi: $(cat "$work/$name-windows.err")"
    cmp "$work/linux/$name.exe" "$work/windows/$name.exe" || fail "the tools wrote different files from $name.msi"
    "$native" --inspect --json "$work/linux/$name.exe" > "$work/$name-linux.json" 2> "$work/$name-inspect-linux.err"
    run "$build/bin/tervo-pack.exe" --inspect --json "$(win "$work/linux/$name.exe")" > "$work/$name-windows.json" \
        2> "$work/$name-inspect-windows.err"
    python3 - "$work" "$name" "$texts" <<'PYTHON' || fail "--inspect --json or the warnings of $name.msi"
import json, sys
work, name, texts = sys.argv[1], sys.argv[2], sys.argv[3].replace("\\ufffd", "\ufffd")
product, maker = texts.split("|")
warning = ("Warning: the package's ProductName, Manufacturer are not valid UTF-8, the package's codepage (65001): "
           "each invalid byte sequence is read as U+FFFD")
for system in ("linux", "windows"):
    found = json.load(open(f"{work}/{name}-{system}.json", encoding="utf-8"))
    assert found["productName"] == product, f"{system}: {found['productName']!r} != {product!r}"
    assert found["manufacturer"] == maker, f"{system}: {found['manufacturer']!r} != {maker!r}"
    for step in ("", "inspect-"):
        lines = open(f"{work}/{name}-{step}{system}.err", encoding="utf-8").read().replace("\r", "").splitlines()
        expected = [warning] if name == "invalid" else []
        assert lines == expected, f"{system} {step or 'pack '}warnings: {lines}"
PYTHON
done
echo "invalid UTF-8, Windows-1252 and Windows-1251 values: byte-identical launchers, the same reports and one warning"
