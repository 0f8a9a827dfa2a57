#!/usr/bin/env bash
# Benchmarks the launcher and tervo-pack against their baselines under Wine and writes
# bench/RESULTS.md. Every figure is a median of TERVO_BENCH_RUNS runs (default 7), each case
# measured side by side with its baseline in the same run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" >/dev/null

build=$root/build
work=$build/bench
prefix=$build/wineprefix-bench
runs=${TERVO_BENCH_RUNS:-7}
results=$root/bench/RESULTS.md
mkdir -p "$work"
cd "$work"

wine_run() { "$root/cmake/wine-run.sh" "$prefix" "$@"; }
winpath() { wine_run winepath -w "$1" | tr -d '\r'; }
bench() { wine_run "$build/bin/tervo-bench.exe" "$@" | tr -d '\r'; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
raw() { awk '{ printf "%s%s", (NR > 1 ? " " : ""), $1 }'; }
calc() { awk "BEGIN { printf \"%.1f\", $1 }"; }
ratio() { awk "BEGIN { printf \"%.2f\", ($2 > 0 ? $1 / $2 : 0) }"; }
wine_run cmd /c exit >/dev/null 2>&1

# Packages: incompressible payloads stored as a Binary stream, and a launch condition that is
# false, so msiexec stops right after opening the package. One more small package really installs.
package() { # NAME PAYLOAD_MB PRODUCT_CODE CONDITION
    [ -f "$1.msi" ] && return
    head -c "$(($2 * 1024 * 1024))" /dev/urandom > "$1.bin"
    printf 'Tervo benchmark\n' > readme.txt
    cat > "$1.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$3" Name="Tervo Bench $1" Language="1033" Version="1.0.0" Manufacturer="Tervo Bench"
           UpgradeCode="{7D1C0B2A-3E4F-4A5B-8C6D-0F1E2D3C4B5A}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="c.cab" EmbedCab="yes"/>
    <Binary Id="Payload" SourceFile="$1.bin"/>
    <Condition Message="Benchmark package">$4</Condition>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Tervo Bench $1">
          <Component Id="C" Guid="{7D1C0B2A-3E4F-4A5B-8C6D-0F1E2D3C4B5B}" Win64="yes">
            <File Id="F" Name="readme.txt" Source="readme.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C"/></Feature>
  </Product>
</Wix>
WXS
    wixl -a x64 -o "$1.msi" "$1.wxs" 2>/dev/null
}
package p1 1 "{7D1C0B2A-3E4F-4A5B-8C6D-000000000001}" 0
package p50 50 "{7D1C0B2A-3E4F-4A5B-8C6D-000000000050}" 0
package p200 200 "{7D1C0B2A-3E4F-4A5B-8C6D-000000000200}" 0
uninstall_code="{7D1C0B2A-3E4F-4A5B-8C6D-0000000000AA}"
package installable 1 "$uninstall_code" 1

pack() { "$build/host/bin/tervo-pack" "$1.msi" -o "setup-$1.exe" --quiet; }
for name in p1 p50 p200 installable; do pack "$name"; done

# Nothing else may compete for the CPU while timing: the build lock keeps concurrent builds out.
exec 9>/tmp/tervo-cpu.lock
flock 9

msiexec='C:\windows\system32\msiexec.exe'
declare -A path
for name in p1 p50 p200 installable; do
    path[$name.msi]=$(winpath "$work/$name.msi")
    path[$name.exe]=$(winpath "$work/setup-$name.exe")
done
temp_dir=$(winpath "$work")

# 1. Extraction: the launcher's extra time over msiexec run directly on the same package.
timed_run() { bench run 1 "$1" >/dev/null; bench run "$runs" "$1" | awk '{ print $1 }'; }
declare -A med rawlist
measure() { # KEY COMMAND_LINE
    local values
    values=$(timed_run "$2")
    med[$1]=$(echo "$values" | median)
    rawlist[$1]=$(echo "$values" | raw)
}
for name in p1 p200; do
    measure "msiexec.$name" "$msiexec /i \"${path[$name.msi]}\" /qn"
    measure "setup.$name" "\"${path[$name.exe]}\" /qn"
done
copy_times() { # PACKAGE -> CopyFileW times
    bench copy 1 "${path[$1.msi]}" "$temp_dir\\copy.tmp" >/dev/null
    bench copy "$runs" "${path[$1.msi]}" "$temp_dir\\copy.tmp"
}
cp_times() {
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s%N); cp "$1.msi" cp.tmp; end=$(date +%s%N); rm -f cp.tmp
        calc "($end - $start) / 1000000"; echo
    done
}
for name in p1 p200; do
    values=$(copy_times "$name"); med[copyfile.$name]=$(echo "$values" | median); rawlist[copyfile.$name]=$(echo "$values" | raw)
    values=$(cp_times "$name"); med[cp.$name]=$(echo "$values" | median); rawlist[cp.$name]=$(echo "$values" | raw)
done
extra1=$(calc "${med[setup.p1]} - ${med[msiexec.p1]}")
extra200=$(calc "${med[setup.p200]} - ${med[msiexec.p200]}")
growth=$(calc "$extra200 - $extra1")
cp_growth=$(calc "${med[cp.p200]} - ${med[cp.p1]}")
copyfile_growth=$(calc "${med[copyfile.p200]} - ${med[copyfile.p1]}")
bench extract 1 "${path[p200.exe]}" "$temp_dir" >/dev/null
breakdown=$(bench extract "$runs" "${path[p200.exe]}" "$temp_dir")
map_ms=$(echo "$breakdown" | awk '{ print $1 }' | median)
write_ms=$(echo "$breakdown" | awk '{ print $2 }' | median)
delete_ms=$(echo "$breakdown" | awk '{ print $3 }' | median)

# 2. Memory: peak anonymous (private) memory of the launcher process while it extracts.
peak_anon() { # SETUP_EXE -> kB
    local peak=0 value
    # Started directly, not through a shell function: each step execs, so the pid stays the
    # Windows program's own.
    "$root/cmake/wine-run.sh" "$prefix" "$work/$1" /qn &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        value=$(awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$value" ] && [ "$value" -gt "$peak" ] && peak=$value
    done
    wait "$pid" || true
    echo "$peak"
}
declare -A mem
for name in p50 p200; do
    peak_anon "setup-$name.exe" >/dev/null
    mem[$name]=$(for _ in 1 2 3; do peak_anon "setup-$name.exe"; done | median)
done

# 3. Uninstall: setup.exe uninstall against msiexec /x on the same installed product.
install_again() { bench run 1 "\"${path[installable.exe]}\" /qn" >/dev/null; }
uninstall_setup=() uninstall_msiexec=()
for _ in $(seq "$runs"); do
    install_again
    uninstall_setup+=("$(bench run 1 "\"${path[installable.exe]}\" uninstall" | awk '{ print $1 }')")
    install_again
    uninstall_msiexec+=("$(bench run 1 "$msiexec /x $uninstall_code /qn" | awk '{ print $1 }')")
done
med[uninstall.setup]=$(printf '%s\n' "${uninstall_setup[@]}" | median)
med[uninstall.msiexec]=$(printf '%s\n' "${uninstall_msiexec[@]}" | median)

# 4. Size of the launcher and what it imports.
launcher=$build/bin/tervo-launcher.exe
size=$(stat -c %s "$launcher")
imports=$(x86_64-w64-mingw32-objdump -p "$launcher" | awk '/DLL Name:/ { printf "%s%s", (n++ ? ", " : ""), $3 }')

# 5. Packing: tervo-pack on the 200 MB package against a plain copy of it, both run inside Wine.
tervo_pack=$(winpath "$build/bin/tervo-pack.exe")
measure pack.p200 "\"$tervo_pack\" \"${path[p200.msi]}\" -o \"$temp_dir\\packed.exe\" --quiet"
measure copycmd.p200 "C:\\windows\\system32\\cmd.exe /c copy /y \"${path[p200.msi]}\" \"$temp_dir\\copied.msi\""
rm -f packed.exe copied.msi
flock -u 9

status() { awk "BEGIN { print ($1) ? \"met\" : \"missed\" }"; }
cat > "$results" <<MD
# Benchmark results

Written by \`bench/run.sh\` on $(date -u +%Y-%m-%d) under $(wine --version) on $(nproc) cores; every
figure is the median of $runs runs (raw runs in brackets, milliseconds). Packages carry an
incompressible payload and a false launch condition, so msiexec stops right after opening them.
Package files: 1 MB $(stat -c %s p1.msi) bytes, 50 MB $(stat -c %s p50.msi) bytes, 200 MB $(stat -c %s p200.msi) bytes.

## 1. Extraction

| | 1 MB package | 200 MB package |
|---|---|---|
| msiexec /i package /qn | ${med[msiexec.p1]} [${rawlist[msiexec.p1]}] | ${med[msiexec.p200]} [${rawlist[msiexec.p200]}] |
| setup.exe /qn | ${med[setup.p1]} [${rawlist[setup.p1]}] | ${med[setup.p200]} [${rawlist[setup.p200]}] |
| launcher's extra time | $extra1 | $extra200 |
| cp (Linux) | ${med[cp.p1]} [${rawlist[cp.p1]}] | ${med[cp.p200]} [${rawlist[cp.p200]}] |
| CopyFileW (Wine) | ${med[copyfile.p1]} [${rawlist[copyfile.p1]}] | ${med[copyfile.p200]} [${rawlist[copyfile.p200]}] |

Growth from 1 MB to 200 MB: launcher $growth ms, cp $cp_growth ms, CopyFileW $copyfile_growth ms.
Ratio to cp: **$(ratio "$growth" "$cp_growth")**, to CopyFileW: **$(ratio "$growth" "$copyfile_growth")** (goal: at most 4; $(status "$(ratio "$growth" "$cp_growth") <= 4") against cp).

Fixed start-up cost of the launcher (its extra time with the 1 MB package): $extra1 ms.
Breakdown of the 200 MB extraction (the launcher's own steps, timed inside Windows): mapping the
image $map_ms ms, writing main.msi from the mapped resource $write_ms ms, deleting the directory
$delete_ms ms; the installer's start is msiexec's own time above (${med[msiexec.p200]} ms).

## 2. Memory

Peak anonymous (private) memory of the launcher process during extraction (median of 3, RssAnon
sampled from /proc): 50 MB package ${mem[p50]} kB, 200 MB package ${mem[p200]} kB
(goal: the same for both and under 32 MB: $(status "${mem[p200]} < 32768 && ${mem[p200]} - ${mem[p50]} < 4096")).

## 3. Uninstall

| setup.exe uninstall | msiexec /x {CODE} /qn | ratio |
|---|---|---|
| ${med[uninstall.setup]} [$(printf '%s ' "${uninstall_setup[@]}")] | ${med[uninstall.msiexec]} [$(printf '%s ' "${uninstall_msiexec[@]}")] | **$(ratio "${med[uninstall.setup]}" "${med[uninstall.msiexec]}")** |

Goal: at most 1.1 ($(status "$(ratio "${med[uninstall.setup]}" "${med[uninstall.msiexec]}") <= 1.1")).

## 4. Size

tervo-launcher.exe: $size bytes ($(calc "$size / 1048576") MB; goal: at most 1 MB, $(status "$size <= 1048576")).
It imports system DLLs only: $imports; msi.dll is bound late, from the system directory.

## 5. Packing

| tervo-pack p200.msi -o setup.exe | cmd /c copy p200.msi (CopyFileW) | ratio |
|---|---|---|
| ${med[pack.p200]} [${rawlist[pack.p200]}] | ${med[copycmd.p200]} [${rawlist[copycmd.p200]}] | **$(ratio "${med[pack.p200]}" "${med[copycmd.p200]}")** |

Both are whole processes started inside Wine. Goal: at most 2 ($(status "$(ratio "${med[pack.p200]}" "${med[copycmd.p200]}") <= 2")).
MD
cat "$results"
