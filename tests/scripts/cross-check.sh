#!/usr/bin/env bash
# The native Linux tervo-pack against the Windows one under Wine: the same package, stub, product
# code, icon and options give byte-identical files; --inspect, --inspect --json and --extract say
# and write the same, sound or not; the file made on Linux, signed with osslsigncode, verifies,
# installs and uninstalls under Wine.
# Usage: cross-check.sh SOURCE_DIR BUILD_DIR HOST_TOOL PACKAGE PRODUCT_CODE
set -euo pipefail
source_dir=$1 build=$2 native=$3 package=$4 product_code=$5
work=$build/cross-check
rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
prefix=$build/wineprefix
run() { "$source_dir/cmake/wine-run.sh" "$prefix" "$@"; }
win() { run winepath -w "$1" | tr -d '\r'; }
fail() { echo "FAIL: $*"; exit 1; }
run cmd /c exit >/dev/null 2>&1

le16() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
{
    le16 0; le16 1; le16 1
    printf '\020\020\000\000'; le16 1; le16 32; le32 1128; le32 22
    le32 40; le32 16; le32 32; le16 1; le16 32; le32 0; le32 1088; le32 0; le32 0; le32 0; le32 0
    head -c 1024 /dev/zero | tr '\0' '\100'
    head -c 64 /dev/zero
} > "$work/app.ico"
stub=$build/bin/tervo-launcher.exe
code=$(echo "$product_code" | tr 'A-F' 'a-f' | tr -d '{}-')

"$native" "$package" -o "$work/linux/setup.exe" --stub "$stub" --product-code "$code" --icon "$work/app.ico" --quiet
run "$build/bin/tervo-pack.exe" "$(win "$package")" -o "$(win "$work/windows/setup.exe")" --stub "$(win "$stub")" \
    --product-code "$code" --icon "$(win "$work/app.ico")" --quiet
cmp "$work/linux/setup.exe" "$work/windows/setup.exe" || fail "the Linux and the Windows tool wrote different files"

# The same report apart from the launcher's path, and the same package written back.
"$native" --inspect "$work/linux/setup.exe" | grep -v '^Launcher:' > "$work/linux/inspect.txt"
run "$build/bin/tervo-pack.exe" --inspect "$(win "$work/linux/setup.exe")" | tr -d '\r' | grep -v '^Launcher:' > "$work/windows/inspect.txt"
diff "$work/linux/inspect.txt" "$work/windows/inspect.txt" || fail "--inspect differs"
grep -q ', the package matches$' "$work/linux/inspect.txt" || fail "no checksum verdict: $(cat "$work/linux/inspect.txt")"
"$native" --extract "$work/windows/setup.exe" -o "$work/linux/app.msi" --quiet
run "$build/bin/tervo-pack.exe" --extract "$(win "$work/linux/setup.exe")" -o "$(win "$work/windows/app.msi")" --quiet
cmp "$package" "$work/linux/app.msi" || fail "the package extracted on Linux differs"
cmp "$package" "$work/windows/app.msi" || fail "the package extracted on Windows differs"
"$native" --extract "$work/windows/setup.exe" -o - --quiet | cmp - "$package" || fail "the package piped on Linux differs"
run "$build/bin/tervo-pack.exe" --extract "$(win "$work/linux/setup.exe")" -o - --quiet | cmp - "$package" ||
    fail "the package piped on Windows differs"

# --inspect --json, read by Python's JSON parser: one object with the documented keys, the same
# from both tools apart from the launcher's path, for a sound launcher with names that need
# escapes, a damaged one, one without a checksum (an older tool's) and one cut short.
cp "$package" "$work/quoted.msi"
msibuild "$work/quoted.msi" -q "UPDATE \`Property\` SET \`Value\` = 'Say \"hi\" \\ Ääni' WHERE \`Property\` = 'ProductName'"
msibuild "$work/quoted.msi" -q "UPDATE \`Property\` SET \`Value\` = 'Back\\slash$(printf '\t')Tab' WHERE \`Property\` = 'Manufacturer'"
"$native" "$work/quoted.msi" -o "$work/linux/quoted.exe" --stub "$stub" --quiet --no-default-log
run "$build/bin/tervo-pack.exe" "$(win "$work/quoted.msi")" -o "$(win "$work/windows/quoted.exe")" --stub "$(win "$stub")" \
    --quiet --no-default-log
cmp "$work/linux/quoted.exe" "$work/windows/quoted.exe" || fail "the tools wrote different files from quoted.msi"
"$native" "$package" -o "$work/linux/nocache.exe" --stub "$stub" --quiet --no-package-cache
run "$build/bin/tervo-pack.exe" "$(win "$package")" -o "$(win "$work/windows/nocache.exe")" --stub "$(win "$stub")" \
    --quiet --no-package-cache
cmp "$work/linux/nocache.exe" "$work/windows/nocache.exe" || fail "the tools wrote different files with --no-package-cache"
cmp -s "$work/linux/nocache.exe" "$work/linux/setup.exe" && fail "--no-package-cache changed nothing"
python3 - "$work/linux/setup.exe" "$work/damaged.exe" "$work/cut.exe" "$package" <<'PYTHON'
import sys
setup, damaged, cut, package = sys.argv[1:]
launcher, carried = open(setup, "rb").read(), open(package, "rb").read()
at = launcher.index(carried)
middle = at + len(carried) // 2
open(damaged, "wb").write(launcher[:middle] + bytes([launcher[middle] ^ 1]) + launcher[middle + 1:])
open(cut, "wb").write(launcher[:at + 100])
PYTHON
for name in nochecksum foreigncode nocode shortcode nocache; do
    cp "$build/bin/e2e-$name-setup.exe" "$work/$name.exe"
done
inspect_both() {
    set +e
    "$native" --inspect --json "$1" > "$work/linux.json" 2>/dev/null
    echo $? > "$work/linux.rc"
    run "$build/bin/tervo-pack.exe" --inspect --json "$(win "$1")" > "$work/windows.json" 2>/dev/null
    echo $? > "$work/windows.rc"
    set -e
}
# Each case: the file, its checksum verdict, its product code verdict ("-": either "matches" or
# "unchecked", as the damage allows the package to be read), and the exit code.
for case in "setup.exe matches matches 0" "quoted.exe matches matches 0" "damaged.exe does-not-match - 1" \
            "nochecksum.exe none matches 0" "cut.exe truncated unchecked 1" "foreigncode.exe matches differs 1" \
            "nocode.exe matches none 1" "shortcode.exe matches malformed 1" "nocache.exe matches matches 0" \
            "linux/nocache.exe matches matches 0"; do
    set -- $case
    launcher=$work/$1
    [ -e "$launcher" ] || launcher=$work/linux/$1
    inspect_both "$launcher"
    python3 - "$work" "$launcher" "$2" "$3" "$4" <<'PYTHON' || fail "--inspect --json of $1"
import json, sys
work, launcher, verdict, code_verdict, code = sys.argv[1], sys.argv[2], sys.argv[3].replace("-", " "), sys.argv[4], sys.argv[5]
keys = ["launcher", "tervoVersion", "productCode", "productCodeVerdict", "packageProductCode", "upgradeCode", "productName",
        "productVersion", "manufacturer", "packageFileName", "packageSize", "checksum", "checksumVerdict", "defaultLog",
        "packageCache", "fileSize", "expectedFileSize", "withheld", "sound"]
objects = {}
for system in ("linux", "windows"):
    text = open(f"{work}/{system}.json", encoding="utf-8").read()
    objects[system] = json.loads(text)
    rc = open(f"{work}/{system}.rc").read().strip()
    assert list(objects[system]) == keys, f"{system}: keys {list(objects[system])}"
    assert rc == code, f"{system} exited with {rc}, not {code}"
    assert objects[system]["checksumVerdict"] == verdict, f"{system}: {objects[system]['checksumVerdict']}"
    assert objects[system]["sound"] == (code == "0"), system
    accepted = ["matches", "unchecked"] if code_verdict == "-" else [code_verdict]
    assert objects[system]["productCodeVerdict"] in accepted, f"{system}: {objects[system]['productCodeVerdict']}"
    assert objects[system]["withheld"] == {}, f"{system}: {objects[system]['withheld']}"
assert objects["linux"].pop("launcher") == launcher
assert objects["windows"].pop("launcher").lower().endswith(launcher.replace("/", "\\").lower())
assert objects["linux"] == objects["windows"], f"{objects['linux']} != {objects['windows']}"
if launcher.endswith("quoted.exe"):
    assert objects["linux"]["productName"] == 'Say "hi" \\ Ääni', objects["linux"]["productName"]
    assert objects["linux"]["manufacturer"] == "Back\\slash\tTab", objects["linux"]["manufacturer"]
    assert objects["linux"]["defaultLog"] is False and objects["linux"]["packageFileName"] == "quoted.msi"
    assert objects["linux"]["packageCache"] is True
if launcher.endswith("nocache.exe"):
    assert objects["linux"]["packageCache"] is False and objects["linux"]["defaultLog"] is True
if launcher.endswith("foreigncode.exe"):
    assert objects["linux"]["productCode"] == "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E99}", objects["linux"]["productCode"]
    assert objects["linux"]["packageProductCode"] == "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}", objects["linux"]["packageProductCode"]
PYTHON
    # Why a launcher is unsound is said on standard error, in the same words by both tools.
    if [ "$4" != 0 ]; then
        "$native" --inspect "$launcher" 2>"$work/linux.err" >/dev/null || true
        run "$build/bin/tervo-pack.exe" --inspect "$(win "$launcher")" 2>"$work/windows.err" >/dev/null || true
        [ -s "$work/linux.err" ] || fail "no reason given for $1"
        tr -d '\r' < "$work/windows.err" | sed 's|[A-Z]:\\[^ ,]*\\||g' > "$work/windows.words"
        sed 's|/[^ ,]*/||g' "$work/linux.err" > "$work/linux.words"
        diff "$work/linux.words" "$work/windows.words" || fail "the tools give different reasons for $1"
    fi
done

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tervo Test Signing" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Tervo test setup" -h sha256 \
    -in "$work/linux/setup.exe" -out "$work/signed.exe" >"$work/sign.log"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >"$work/verify.log" 2>&1 || {
    cat "$work/verify.log"
    fail "the signed setup.exe does not verify"
}
grep -q 'Signature verification: ok' "$work/verify.log" || { cat "$work/verify.log"; exit 1; }

signed=$(win "$work/signed.exe")
installed=$(run "$build/bin/run-report.exe" "\"$signed\" /qn" | tr -d '\r')
removed=$(run "$build/bin/run-report.exe" "\"$signed\" uninstall" | tr -d '\r')
again=$(run "$build/bin/run-report.exe" "\"$signed\" uninstall" | tr -d '\r')
[ "$installed" = "exit=0" ] || fail "install of the signed setup.exe: $installed"
[ "$removed" = "exit=0" ] || fail "uninstall of the signed setup.exe: $removed"
[ "$again" = "exit=1605" ] || fail "$product_code still installed after uninstall: $again"
echo "byte-identical on both systems; the Linux-made setup.exe verifies signed, installs and uninstalls"
