#!/usr/bin/env bash
# A setup.exe made by the tervo-pack wrapper, signed with a self-signed test certificate,
# verifies and still installs and uninstalls under Wine.
# Usage: pack-sign.sh SOURCE_DIR BUILD_DIR PACKAGE PRODUCT_CODE
set -euo pipefail
source_dir=$1
build=$2
package=$3
product_code=$4
work=$build/pack-sign
rm -rf "$work"
mkdir -p "$work"
prefix=$build/wineprefix
run() { "$source_dir/cmake/wine-run.sh" "$prefix" "$@"; }
run cmd /c exit >/dev/null 2>&1

TERVO_WINEPREFIX=$prefix "$build/bin/tervo-pack" "$package" -o "$work/setup.exe" --quiet
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tervo Test Signing" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Tervo test setup" -h sha256 \
    -in "$work/setup.exe" -out "$work/signed.exe" >"$work/sign.log"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >"$work/verify.log" 2>&1 || {
    cat "$work/verify.log"
    echo "FAIL: the signed setup.exe does not verify"
    exit 1
}
grep -q 'Signature verification: ok' "$work/verify.log" || { cat "$work/verify.log"; exit 1; }

signed=$(run winepath -w "$work/signed.exe" | tr -d '\r')
installed=$(run "$build/bin/run-report.exe" "\"$signed\" /qn" | tr -d '\r')
removed=$(run "$build/bin/run-report.exe" "\"$signed\" uninstall" | tr -d '\r')
again=$(run "$build/bin/run-report.exe" "\"$signed\" uninstall" | tr -d '\r')
[ "$installed" = "exit=0" ] || { echo "FAIL: install of the signed setup.exe: $installed"; exit 1; }
[ "$removed" = "exit=0" ] || { echo "FAIL: uninstall of the signed setup.exe: $removed"; exit 1; }
[ "$again" = "exit=1605" ] || { echo "FAIL: $product_code still installed after uninstall: $again"; exit 1; }
echo "signed setup.exe verifies, installs and uninstalls"
