#!/bin/sh
# tervo_add_installer's product code check as a build meets it: a project that includes the
# in-tree functions builds one check per case. The package's own code, in either case, builds; the
# code of another product, a package without a ProductCode and a file that is no package fail the
# build with a message that names the package and both codes.
# Usage: installer-product-code.sh SOURCE_DIR WORK_DIR PACKAGE PRODUCT_CODE
set -eu
source=$1 work=$2 package=$3 code=$4
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work/project"
foreign="{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}"
lower=$(echo "$code" | tr 'A-F' 'a-f')
cp "$package" "$work/nocode.msi"
msibuild "$work/nocode.msi" -q "DELETE FROM \`Property\` WHERE \`Property\` = 'ProductCode'"
printf 'no database' > "$work/notes.msi"
cat > "$work/project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(ProductCodeCheck LANGUAGES NONE)
include("$source/cmake/TervoLauncher.cmake")
foreach(case "own|$package|$code" "lower|$package|$lower" "foreign|$package|$foreign"
             "nocode|$work/nocode.msi|$code" "notes|$work/notes.msi|$code")
    string(REPLACE "|" ";" fields "\${case}")
    list(GET fields 0 name)
    list(GET fields 1 msi)
    list(GET fields 2 product_code)
    tervo_check_product_code(\${CMAKE_BINARY_DIR}/\${name}.checked \${msi} \${product_code} \${name}-setup)
    add_custom_target(\${name} DEPENDS \${CMAKE_BINARY_DIR}/\${name}.checked)
endforeach()
CMAKE
cmake -S "$work/project" -B "$work/build" -G Ninja >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }

for name in own lower; do
    cmake --build "$work/build" --target $name >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "the package's own code ($name) was refused"; }
done
expect_refusal() {
    if cmake --build "$work/build" --target "$1" >"$work/$1.log" 2>&1; then fail "$1 built"; fi
    tr -s ' \n' ' ' < "$work/$1.log" > "$work/$1.flat"
    grep -qF -- "$2" "$work/$1.flat" || { cat "$work/$1.log"; fail "$1: no message '$2'"; }
    [ ! -e "$work/build/$1.checked" ] || fail "$1: the check's output was written"
}
expect_refusal foreign "tervo_add_installer(foreign-setup): the product code $foreign is not the ProductCode of $package, which is $code: the launcher would remove another product on uninstall."
expect_refusal nocode "tervo_add_installer(nocode-setup): $work/nocode.msi has no ProductCode property to check the product code $code against"
expect_refusal notes "tervo_add_installer(notes-setup): cannot read the Property table of $work/notes.msi with msiinfo"

# Once the package is right, the same build goes through.
cp "$package" "$work/nocode.msi"
cmake --build "$work/build" --target nocode >"$work/nocode.log" 2>&1 || { cat "$work/nocode.log"; fail "no new check after the package changed"; }
echo "the package's own product code builds; another, none and no package fail, naming both codes"
