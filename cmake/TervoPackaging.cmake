# Release files made by CPack: on Windows a zip of the installed programs and documents, on Linux
# a Debian package. Files carry $SOURCE_DATE_EPOCH as their time when it is set.
set(CPACK_PACKAGE_NAME tervo)
set(CPACK_PACKAGE_VENDOR "The Tervo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Windows Installer package into a self-contained setup.exe")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
# Folders get the same mode whatever the umask of the user who builds the release.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
    # No address of the developers exists to put here.
    set(CPACK_PACKAGE_CONTACT "The Tervo developers")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    set(CPACK_DEBIAN_PACKAGE_SECTION devel)
    # Depends from what the tool links, through dpkg-shlibdeps.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wixl, osslsigncode, wine")
    # CPack puts the summary before it.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tervo-pack turns one Windows Installer package (.msi) into one 64-bit Windows
program that installs the package when run and removes the product when run
with the argument uninstall. It runs natively on Linux, reads packages through
libmsi, and comes with the launcher stub it copies and a CMake package whose
tervo_pack() packs at build time.")
endif()
include(CPack)
