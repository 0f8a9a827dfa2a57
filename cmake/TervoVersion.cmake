# The version every program and file of a release carries comes from project(): a header for C++
# sources and resource scripts, used through the interface library tervo-version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/TervoVersion.h.in ${CMAKE_BINARY_DIR}/generated/TervoVersion.h @ONLY)
set(TERVO_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/TervoVersion.h)
add_library(tervo-version INTERFACE)
target_include_directories(tervo-version INTERFACE ${CMAKE_BINARY_DIR}/generated)
