# Writes the checksum resource of a package: "XXH64:" and the 16 lower-case hexadecimal digits
# that xxhsum gives, 22 bytes without a line end.
# cmake -DXXHSUM=<xxhsum> -DPACKAGE=<package> -DOUTPUT=<file> -P TervoChecksum.cmake
execute_process(COMMAND ${XXHSUM} -H1 ${PACKAGE} OUTPUT_VARIABLE line RESULT_VARIABLE status)
# A name with unusual characters is escaped, and then the line starts with a backslash.
string(REGEX MATCH "^\\\\?([0-9a-f]+) " match "${line}")
string(LENGTH "${CMAKE_MATCH_1}" digits)
if(NOT status EQUAL 0 OR NOT digits EQUAL 16)
    message(FATAL_ERROR "xxhsum -H1 ${PACKAGE} failed (${status}): ${line}")
endif()
file(WRITE ${OUTPUT} "XXH64:${CMAKE_MATCH_1}")
