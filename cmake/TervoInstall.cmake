# What `cmake --install` puts where. The Windows build installs the layout of the Windows zip: the
# tool beside the launcher stub it copies by default, with the README and the licence.
install(TARGETS tervo-pack tervo-launcher RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
