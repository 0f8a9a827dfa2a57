# Packages the packer's tests read, built with wixl and edited with msibuild, in both builds:
# the basic e2e package, and copies with external cabinets, an uncompressed file, no product
# code, a non-ASCII product name, a product name too long for a version block, a ProductVersion
# no version block holds, an UpgradeCode that is no GUID, no UpgradeCode, names holding quotes,
# backslashes, a tab and non-ASCII letters, and names holding an escape character, a soft hyphen
# and DEL. Target: pack-test-packages.
find_program(TERVO_WIXL wixl REQUIRED)
find_program(TERVO_MSIBUILD msibuild REQUIRED)
set(PACK_DATA ${CMAKE_BINARY_DIR}/pack-data)
set(PACK_SOURCES ${CMAKE_SOURCE_DIR}/tests/e2e/packages)
file(MAKE_DIRECTORY ${PACK_DATA})
file(READ ${PACK_SOURCES}/basic.wxs basic)
string(REPLACE "EmbedCab=\"yes\"" "EmbedCab=\"no\"" external "${basic}")
string(REPLACE "Tervo E2E Basic\" Language" "Tervo Ääni\" Language" unicode "${basic}")
file(CONFIGURE OUTPUT ${PACK_DATA}/external.wxs CONTENT "${external}")
file(CONFIGURE OUTPUT ${PACK_DATA}/unicode.wxs CONTENT "${unicode}")
configure_file(${PACK_SOURCES}/basic.wxs ${PACK_DATA}/basic.wxs COPYONLY)
configure_file(${PACK_SOURCES}/payload.txt ${PACK_DATA}/payload.txt COPYONLY)
string(REPEAT "x" 20000 longName)
set(edits
    uncompressed "UPDATE `File` SET `Attributes` = 8192"
    nocode "DELETE FROM `Property` WHERE `Property` = 'ProductCode'"
    longname "UPDATE `Property` SET `Value` = '${longName}' WHERE `Property` = 'ProductName'"
    beta "UPDATE `Property` SET `Value` = '1.0.0-beta' WHERE `Property` = 'ProductVersion'"
    badupgrade "UPDATE `Property` SET `Value` = 'not-a-guid' WHERE `Property` = 'UpgradeCode'"
    noupgrade "DELETE FROM `Property` WHERE `Property` = 'UpgradeCode'")
set(outputs ${PACK_DATA}/basic.msi ${PACK_DATA}/external.msi ${PACK_DATA}/unicode.msi)
foreach(name basic external unicode)
    add_custom_command(OUTPUT ${PACK_DATA}/${name}.msi
        COMMAND ${TERVO_WIXL} -a x64 -o ${name}.msi ${name}.wxs
        WORKING_DIRECTORY ${PACK_DATA} DEPENDS ${PACK_DATA}/${name}.wxs ${PACK_DATA}/payload.txt VERBATIM)
endforeach()
while(edits)
    list(POP_FRONT edits name query)
    add_custom_command(OUTPUT ${PACK_DATA}/${name}.msi
        COMMAND ${CMAKE_COMMAND} -E copy ${PACK_DATA}/basic.msi ${PACK_DATA}/${name}.msi
        COMMAND ${TERVO_MSIBUILD} ${PACK_DATA}/${name}.msi -q ${query}
        DEPENDS ${PACK_DATA}/basic.msi VERBATIM)
    list(APPEND outputs ${PACK_DATA}/${name}.msi)
endwhile()
add_custom_command(OUTPUT ${PACK_DATA}/quoted.msi
    COMMAND ${CMAKE_COMMAND} -E copy ${PACK_DATA}/basic.msi ${PACK_DATA}/quoted.msi
    COMMAND ${TERVO_MSIBUILD} ${PACK_DATA}/quoted.msi -q "UPDATE `Property` SET `Value` = 'Say \"hi\" \\ Ääni' WHERE `Property` = 'ProductName'"
    COMMAND ${TERVO_MSIBUILD} ${PACK_DATA}/quoted.msi -q "UPDATE `Property` SET `Value` = 'Back\\slash\tTab' WHERE `Property` = 'Manufacturer'"
    DEPENDS ${PACK_DATA}/basic.msi VERBATIM)
list(APPEND outputs ${PACK_DATA}/quoted.msi)
# ProductName "A<tab>B<ESC>C", Manufacturer "Soft<U+00AD>Hyphen<DEL>", spelt out as bytes: the
# package's code page (1252) holds these, and libmsi cannot write characters beyond it.
string(ASCII 9 tab)
string(ASCII 27 escape)
string(ASCII 194 173 softHyphen)
string(ASCII 127 delete)
add_custom_command(OUTPUT ${PACK_DATA}/hostile.msi
    COMMAND ${CMAKE_COMMAND} -E copy ${PACK_DATA}/basic.msi ${PACK_DATA}/hostile.msi
    COMMAND ${TERVO_MSIBUILD} ${PACK_DATA}/hostile.msi -q
            "UPDATE `Property` SET `Value` = 'A${tab}B${escape}C' WHERE `Property` = 'ProductName'"
    COMMAND ${TERVO_MSIBUILD} ${PACK_DATA}/hostile.msi -q
            "UPDATE `Property` SET `Value` = 'Soft${softHyphen}Hyphen${delete}' WHERE `Property` = 'Manufacturer'"
    DEPENDS ${PACK_DATA}/basic.msi VERBATIM)
list(APPEND outputs ${PACK_DATA}/hostile.msi)
add_custom_target(pack-test-packages DEPENDS ${outputs})
