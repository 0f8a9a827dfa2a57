#!/bin/sh
# Fails when a built executable or DLL imports anything but the system's own DLLs.
# Usage: check-imports.sh OBJDUMP DIR
objdump=$1
dir=$2
system='^(kernel32|user32|shell32|ole32|oleaut32|advapi32|msvcrt|msi|version|comctl32|shlwapi)\.dll$'
status=0
found=0
for file in "$dir"/*.exe "$dir"/*.dll; do
    [ -f "$file" ] || continue
    found=1
    for dll in $("$objdump" -p "$file" | awk '/DLL Name:/ {print $3}'); do
        if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system"; then
            echo "$(basename "$file") imports $dll"
            status=1
        fi
    done
done
[ "$found" = 1 ] || { echo "no executables in $dir"; exit 1; }
[ "$status" = 0 ] && echo "every program imports system DLLs only"
exit $status
