# What `cmake --install` puts where.
if(WIN32)
    # The layout of the Windows zip: the tool beside the launcher stub it copies by default, with
    # the README and the licence.
    install(TARGETS tervo-pack tervo-launcher RUNTIME DESTINATION .)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
    return()
endif()

# The Linux layout is fixed, not GNUInstallDirs': the tool finds its stub at ../share/tervo, and
# the CMake package finds both relative to lib/cmake/Tervo, whatever the prefix. The package is
# the same for every architecture (it runs the tool of the build host), so it stays out of the
# multiarch library folder.
include(CMakePackageConfigHelpers)
set(TERVO_PACK_PATH bin/tervo-pack)
set(TERVO_STUB_PATH share/tervo/tervo-launcher.exe)
set(TERVO_CONFIG_DIR lib/cmake/Tervo)
set(TERVO_RELEASE_FILES ${CMAKE_BINARY_DIR}/release-files)

install(TARGETS tervo-pack RUNTIME DESTINATION bin)
install(FILES ${TERVO_WINDOWS_BIN}/tervo-launcher.exe DESTINATION share/tervo)

# The licence as a Debian copyright file: the header, then the text indented by one blank with
# "." for its empty lines.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(CONFIGURE OUTPUT ${TERVO_RELEASE_FILES}/copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tervo

Files: *
Copyright: 2026 The Tervo developers
License: Expat
 ${licence}
]])
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${TERVO_RELEASE_FILES}/copyright DESTINATION share/doc/tervo)

# The manual page, compressed without a name or time stamp so that two builds give the same bytes.
configure_file(${CMAKE_SOURCE_DIR}/share/man/tervo-pack.1 ${TERVO_RELEASE_FILES}/tervo-pack.1 @ONLY)
add_custom_command(OUTPUT ${TERVO_RELEASE_FILES}/tervo-pack.1.gz
    COMMAND gzip -9nkf ${TERVO_RELEASE_FILES}/tervo-pack.1
    DEPENDS ${TERVO_RELEASE_FILES}/tervo-pack.1
    VERBATIM)
add_custom_target(tervo-pack-man ALL DEPENDS ${TERVO_RELEASE_FILES}/tervo-pack.1.gz)
install(FILES ${TERVO_RELEASE_FILES}/tervo-pack.1.gz DESTINATION share/man/man1)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/TervoConfig.cmake.in ${TERVO_RELEASE_FILES}/TervoConfig.cmake
    INSTALL_DESTINATION ${TERVO_CONFIG_DIR}
    PATH_VARS TERVO_PACK_PATH TERVO_STUB_PATH)
write_basic_package_version_file(${TERVO_RELEASE_FILES}/TervoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${TERVO_RELEASE_FILES}/TervoConfig.cmake ${TERVO_RELEASE_FILES}/TervoConfigVersion.cmake
    DESTINATION ${TERVO_CONFIG_DIR})
