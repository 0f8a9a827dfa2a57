# Checks, as a launcher is built, that the product code it is to carry is its package's own
# ProductCode: a launcher that carries another product's code would remove that product on
# uninstall. Writes OUTPUT (the package's code) when they agree, in any case; otherwise fails,
# naming both codes.
# cmake -DMSIINFO=<msiinfo> -DPACKAGE=<package> -DPRODUCT_CODE=<code> -DTARGET=<name> -DOUTPUT=<file>
#       -P TervoProductCode.cmake
execute_process(COMMAND ${MSIINFO} export ${PACKAGE} Property
                OUTPUT_VARIABLE table ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    string(STRIP "${errors}" errors)
    message(FATAL_ERROR "tervo_add_installer(${TARGET}): cannot read the Property table of ${PACKAGE} with msiinfo "
                        "(${status}: ${errors}), so the product code ${PRODUCT_CODE} cannot be checked against it; "
                        "give UNCHECKED for a launcher whose package is broken on purpose")
endif()
# One row per line, "Property<tab>Value", after three lines that describe the table.
string(REGEX MATCH "(^|\n)ProductCode\t([^\r\n]*)" row "${table}")
set(own "${CMAKE_MATCH_2}")
if(NOT row)
    message(FATAL_ERROR "tervo_add_installer(${TARGET}): ${PACKAGE} has no ProductCode property to check the product "
                        "code ${PRODUCT_CODE} against; give UNCHECKED for a launcher built so on purpose")
endif()
string(TOUPPER "${own}" ownUpper)
string(TOUPPER "${PRODUCT_CODE}" givenUpper)
if(NOT ownUpper STREQUAL givenUpper)
    message(FATAL_ERROR "tervo_add_installer(${TARGET}): the product code ${PRODUCT_CODE} is not the ProductCode of "
                        "${PACKAGE}, which is ${own}: the launcher would remove another product on uninstall. Give the "
                        "package's own code, or UNCHECKED for a launcher built with a wrong one on purpose")
endif()
file(WRITE ${OUTPUT} "${own}\n")
