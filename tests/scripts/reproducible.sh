#!/bin/sh
# Builds the launcher stub again in a second folder and compares the two byte for byte; neither may
# name the source or build folder it came from.
# Usage: reproducible.sh SOURCE_DIR BUILD_DIR SECOND_BUILD_DIR GENERATOR TOOLCHAIN_FILE BUILD_TYPE
set -eu
source=$1 build=$2 second=$3
cmake -S "$source" -B "$second" -G "$4" -DCMAKE_TOOLCHAIN_FILE="$5" -DCMAKE_BUILD_TYPE="$6" \
      -DBUILD_TESTING=OFF >/dev/null
cmake --build "$second" --target tervo-launcher >/dev/null
first=$build/bin/tervo-launcher.exe
cmp "$first" "$second/bin/tervo-launcher.exe"
for dir in "$source" "$build" "$second"; do
    if grep -q -F -e "$dir" "$first" "$second/bin/tervo-launcher.exe"; then
        echo "the launcher names $dir"
        exit 1
    fi
done
echo "two builds of the launcher are identical and name no folder"
