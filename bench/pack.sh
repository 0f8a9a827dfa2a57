#!/usr/bin/env bash
# Measures the native Linux tervo-pack: packing the 200 MB package against cp of the same file
# (interleaved, median of TERVO_BENCH_RUNS runs, default 7, raw runs in brackets), its peak
# resident memory for 1, 50 and 200 MB packages, and the first pack on a machine where nothing
# ran yet: the native tool against tervo-pack.exe under Wine with a fresh prefix. Prints Markdown.
# Run after scripts/setup.sh; holds /tmp/tervo-cpu.lock while timing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
tool=$build/host/bin/tervo-pack
work=$build/bench-pack
runs=${TERVO_BENCH_RUNS:-7}
mkdir -p "$work"
cd "$work"

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms() { # COMMAND... -> wall time in ms
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
source "$root/bench/package.sh"
for size in 1 50 200; do package "p$size" "$size" "{7D1C0B2A-3E4F-4A5B-8C6D-$(printf %012d "$size")}" 1; done

exec 9>/tmp/tervo-cpu.lock
flock 9

# 1. The 200 MB package: tervo-pack and cp, one after the other, each replacing its own earlier
# output, on warm files. Before every timed run the disk is flushed: otherwise each run pays for
# writing back the 200 MB the other has just written, and its time depends on which ran before.
"$tool" p200.msi -o packed.exe --quiet
cp p200.msi copied.msi
pack_runs=() cp_runs=()
for _ in $(seq "$runs"); do
    sync
    pack_runs+=("$(ms "$tool" p200.msi -o packed.exe --quiet)")
    sync
    cp_runs+=("$(ms cp p200.msi copied.msi)")
done
pack_med=$(printf '%s\n' "${pack_runs[@]}" | median)
cp_med=$(printf '%s\n' "${cp_runs[@]}" | median)

# 2. Peak resident memory (kB) by package size.
declare -A rss
for name in p1 p50 p200; do
    rss[$name]=$(/usr/bin/time -f %M "$tool" "$name.msi" -o "rss-$name.exe" --quiet 2>&1 >/dev/null | tail -1)
done

# 3. A first pack where nothing ran yet: the native tool's first run, and the Windows tool under
# Wine in a new prefix (its creation included, as on a fresh machine).
sync
mkdir -p native wine
first_native=$(ms "$tool" p1.msi -o native/setup.exe --quiet)
fresh=$work/fresh-prefix
rm -rf "$fresh"
first_wine=$(ms env WINEPREFIX="$fresh" WINEDEBUG=-all sh -c \
    'wine "$0" "$(winepath -w p1.msi)" -o "$(winepath -w wine/setup.exe)" --quiet; wineserver -w' "$build/bin/tervo-pack.exe")
flock -u 9
cmp -s native/setup.exe wine/setup.exe && same=yes || same=no
rm -rf "$fresh" native wine packed.exe copied.msi rss-*.exe

cat <<MD
## Packing with the native tool (bench/pack.sh, $(date -u +%Y-%m-%d), $(nproc) cores)

| tervo-pack p200.msi -o setup.exe | cp p200.msi |
|---|---|
| $pack_med [${pack_runs[*]}] | $cp_med [${cp_runs[*]}] |

Milliseconds, median of $runs interleaved runs, each after a \`sync\`. Ratio to cp **$(awk "BEGIN { printf \"%.2f\", $pack_med / $cp_med }")**
(goal: at most 1.5).

Peak resident memory: 1 MB package ${rss[p1]} kB, 50 MB ${rss[p50]} kB, 200 MB ${rss[p200]} kB (goal: under 32768 kB).

First pack on a machine where nothing ran yet (1 MB package): native tool $first_native ms, tervo-pack.exe
under Wine with a new prefix $first_wine ms (outputs byte-identical: $same).
MD
