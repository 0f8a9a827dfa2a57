#!/usr/bin/env bash
# Packs a payload and an icon into the stand-in launcher stub under Wine, then checks the packed
# file with Linux tools: its layout (objdump), its resources (wrestool, icotool), the memory the
# running program uses for its package, and that a signed stub is refused.
# Usage: check-packed.sh OBJDUMP BIN_DIR WORK_DIR EMULATOR [EMULATOR_ARGS...]
set -euo pipefail
objdump=$1 bin=$2 work=$3
shift 3
emulator=("$@")

fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"

le16() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
# One 16x16 32-bit image: header, entry, BITMAPINFOHEADER, colours, mask.
{
    le16 0; le16 1; le16 1
    printf '\020\020\000\000'; le16 1; le16 32; le32 1128; le32 22
    le32 40; le32 16; le32 32; le16 1; le16 32; le32 0; le32 1088; le32 0; le32 0; le32 0; le32 0
    head -c 1024 /dev/zero | tr '\0' '\100'
    head -c 64 /dev/zero
} > app.ico
head -c $((32 * 1024 * 1024)) /dev/urandom > app.msi
code='{0A1B2C3D-4E5F-4061-8273-9485A6B7C8D9}'

pack() {
    "${emulator[@]}" "$bin/PackIt.exe" "Z:$1" "Z:$work/$2" "Z:$work/app.msi" "$code" "Z:$work/app.ico"
}
pack "$bin/PackStub.exe" setup.exe > pack.log 2>&1 || { cat pack.log; fail "packing the stub"; }
pack "$bin/PackStubUnaligned.exe" unaligned.exe > pack-unaligned.log 2>&1 || { cat pack-unaligned.log; fail "packing the unaligned stub"; }

"$objdump" -p setup.exe > headers.txt
grep -Eq '^FileAlignment[[:space:]]+00001000$' headers.txt || fail "FileAlignment is not 4096: $(grep FileAlignment headers.txt)"
"$objdump" -h setup.exe > sections.txt
while read -r index name size vma lma offset align; do
    case $index in [0-9]*) [ $((0x$offset % 4096)) -eq 0 ] || fail "section $name at file offset 0x$offset";; esac
done < sections.txt
grep -Eq ' \.rsrc ' sections.txt || fail "no .rsrc section"

wrestool -l setup.exe > resources.txt
for expected in "--type=10 --name='MSI' .*size=33554432]" "--type=10 --name='PRODUCT_CODE' .*size=38]" \
                "--type=10 --name='TERVO_LAUNCHER' " "--type=16 --name=1 --language=1033 " "--type=24 --name=1 " \
                "--type=14 --name=1 " "--type=3 --name=1 "; do
    grep -Eq -- "$expected" resources.txt || { cat resources.txt; fail "no resource like $expected"; }
done
wrestool -x --raw --type=10 --name=MSI setup.exe > extracted.msi
cmp -s app.msi extracted.msi || fail "the package read back by wrestool differs"
[ "$(wrestool -x --raw --type=10 --name=PRODUCT_CODE setup.exe)" = "$code" ] || fail "product code"
wrestool -x --type=14 setup.exe > extracted.ico
icotool -l extracted.ico | grep -q -- '--width=16 --height=16 --bit-depth=32' || fail "icon group: $(icotool -l extracted.ico)"

# Anonymous memory of the running packed program, in kB, while it holds its package.
anonymousMemory() {
    "${emulator[@]}" "$work/$1" "Z:$work/$1.msi" 5000 > "$1.out" &
    local pid=$! tries=0
    until grep -q '^MARKER=' "$1.out" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 300 ] || { kill "$pid"; fail "$1 did not report"; }
        sleep 0.1
    done
    awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status"
    wait "$pid" || fail "$1 exited with $?"
    cmp -s app.msi "$1.msi" || fail "$1 read a different package"
}
aligned=$(anonymousMemory setup.exe)
unaligned=$(anonymousMemory unaligned.exe)
echo "anonymous memory with the 32 MiB package: stub aligned to 4096 ${aligned} kB, to 512 ${unaligned} kB"
# Copied into private memory, the package alone would take 32768 kB.
[ "$aligned" -lt 16384 ] || fail "the packed image uses ${aligned} kB of anonymous memory"
[ "$unaligned" -lt 16384 ] || fail "the image packed from the 512-aligned stub uses ${unaligned} kB of anonymous memory"

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Tervo-test -days 2 -keyout key.pem -out cert.pem 2>/dev/null
osslsigncode sign -certs cert.pem -key key.pem -in "$bin/PackStub.exe" -out signed-stub.exe > /dev/null
if pack "$work/signed-stub.exe" from-signed.exe > signed.log 2>&1; then fail "a signed stub was packed"; fi
grep -q 'it is signed (it has a certificate table)' signed.log || { cat signed.log; fail "refusal of the signed stub"; }
osslsigncode sign -certs cert.pem -key key.pem -in setup.exe -out signed-setup.exe > /dev/null
osslsigncode verify -CAfile cert.pem signed-setup.exe > verify.txt 2>&1 || { cat verify.txt; fail "the signed setup does not verify"; }

echo "packed file checks passed"
