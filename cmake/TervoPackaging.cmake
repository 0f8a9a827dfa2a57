# Release files made by CPack: on Windows a zip of the installed programs and documents.
set(CPACK_PACKAGE_NAME tervo)
set(CPACK_PACKAGE_VENDOR "The Tervo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Windows Installer package into a self-contained setup.exe")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
# Folders get the same mode whatever the umask of the user who builds the release.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR ZIP)
include(CPack)
