# Building launchers: the stub, and launchers that carry a package from the build.

set(TERVO_CHECKSUM_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/TervoChecksum.cmake)
set(TERVO_PRODUCT_CODE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/TervoProductCode.cmake)

# tervo_add_launcher(<target> [STUB] <rc files>...): a launcher executable with the given resource
# scripts. Sections of a launcher that carries its package from the build are page-aligned in the
# file, so that the loader maps the package straight from it instead of reading it into private
# memory. A STUB carries no package: the packaging tool puts the package on a page of its own, so a
# stub keeps the compact alignment of 512 bytes.
function(tervo_add_launcher target)
    cmake_parse_arguments(ARG "STUB" "" "" ${ARGN})
    add_executable(${target} WIN32 $<TARGET_OBJECTS:tervo-launcher-main> ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${target} PRIVATE tervo tervo-msi-delayload)
    tervo_target_defaults(${target})
    if(ARG_STUB)
        set(alignment 512)
    else()
        set(alignment 4096)
    endif()
    if(MSVC)
        target_link_options(${target} PRIVATE /FILEALIGN:${alignment})
    else()
        # Stripped and without unused code to stay small. GCC 12 fails inside its link-time
        # optimisation when it splits the program into partitions: one partition.
        target_link_options(${target} PRIVATE -municode -mwindows -s -Wl,--gc-sections -Wl,--file-alignment,${alignment}
                            -Os -flto -flto-partition=none)
    endif()
endfunction()

# tervo_check_product_code(<output> <package> <code> <launcher> [<targets>...]): a build step that
# writes <output> once <code> is found to be <package>'s own ProductCode (read with msiinfo, in
# either case) and otherwise fails the build, naming <launcher> and both codes. It runs again when
# the package changes; <targets> build the package.
function(tervo_check_product_code output package code launcher)
    find_program(TERVO_MSIINFO msiinfo REQUIRED)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DMSIINFO=${TERVO_MSIINFO} -DPACKAGE=${package} -DPRODUCT_CODE=${code}
                -DTARGET=${launcher} -DOUTPUT=${output} -P ${TERVO_PRODUCT_CODE_SCRIPT}
        DEPENDS ${package} ${TERVO_PRODUCT_CODE_SCRIPT} ${ARGN}
        COMMENT "Product code of ${package}"
        VERBATIM)
endfunction()

# tervo_add_installer(TARGET <name> [MSI <package>] PRODUCT_CODE <text> [DEPENDS <targets>...])
# A launcher that carries <package> as RCDATA MSI, its checksum as RCDATA MSI_CHECKSUM ("XXH64:" and
# 16 lower-case hexadecimal digits, computed with xxhsum when the package is built) and <text> as
# RCDATA PRODUCT_CODE (exactly its bytes, no terminator). The product code must be a braced GUID and
# the package's own ProductCode (read with msiinfo when the package is built; the build fails,
# naming both codes, when they differ) unless UNCHECKED is given, which tests use to build
# launchers with broken data; for the same reason MSI may be omitted, NO_CHECKSUM leaves the
# checksum out and CHECKSUM_TEXT stores the given text instead of the computed checksum. Tests also
# give what the packer writes: PACKAGE_FILE_NAME <text> (RCDATA MSI_FILENAME), DEFAULT_LOG_OFF
# (RCDATA DEFAULT_LOG "off"), PACKAGE_CACHE_OFF (RCDATA PACKAGE_CACHE "off"), and PRODUCT_NAME and
# PRODUCT_VERSION, ASCII texts of a version block.
function(tervo_add_installer)
    cmake_parse_arguments(ARG "UNCHECKED;NO_PRODUCT_CODE;NO_CHECKSUM;DEFAULT_LOG_OFF;PACKAGE_CACHE_OFF"
                          "TARGET;MSI;PRODUCT_CODE;CHECKSUM_TEXT;PACKAGE_FILE_NAME;PRODUCT_NAME;PRODUCT_VERSION" "DEPENDS"
                          ${ARGN})
    if(NOT ARG_TARGET)
        message(FATAL_ERROR "tervo_add_installer: TARGET is required")
    endif()
    # CMake's regular expressions have no counted repetition: spell the digit groups out.
    string(REPEAT "[0-9A-Fa-f]" 4 x4)
    set(guid "^{${x4}${x4}-${x4}-${x4}-${x4}-${x4}${x4}${x4}}$")
    if(NOT ARG_UNCHECKED AND NOT ARG_PRODUCT_CODE MATCHES "${guid}")
        message(FATAL_ERROR "tervo_add_installer(${ARG_TARGET}): PRODUCT_CODE must be a braced GUID, got '${ARG_PRODUCT_CODE}'")
    endif()
    if(NOT ARG_UNCHECKED AND NOT ARG_MSI)
        message(FATAL_ERROR "tervo_add_installer(${ARG_TARGET}): MSI is required")
    endif()
    if(NOT ARG_UNCHECKED AND (ARG_NO_CHECKSUM OR DEFINED ARG_CHECKSUM_TEXT))
        message(FATAL_ERROR "tervo_add_installer(${ARG_TARGET}): NO_CHECKSUM and CHECKSUM_TEXT need UNCHECKED")
    endif()

    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.resources)
    set(rc ${dir}/payload.rc)
    set(content "#include \"${TERVO_LAUNCHER_RC}\"\n")
    set(depends "")
    set(generated "")
    set(checked "")
    if(ARG_MSI)
        string(APPEND content "MSI RCDATA \"${ARG_MSI}\"\n")
        list(APPEND depends ${ARG_MSI})
    endif()
    set(checksum ${dir}/checksum.bin)
    if(DEFINED ARG_CHECKSUM_TEXT)
        file(WRITE ${checksum} "${ARG_CHECKSUM_TEXT}")
    elseif(ARG_MSI AND NOT ARG_NO_CHECKSUM)
        find_program(TERVO_XXHSUM xxhsum REQUIRED)
        add_custom_command(OUTPUT ${checksum}
            COMMAND ${CMAKE_COMMAND} -DXXHSUM=${TERVO_XXHSUM} -DPACKAGE=${ARG_MSI} -DOUTPUT=${checksum}
                    -P ${TERVO_CHECKSUM_SCRIPT}
            DEPENDS ${ARG_MSI} ${TERVO_CHECKSUM_SCRIPT} ${ARG_DEPENDS}
            COMMENT "Checksum of ${ARG_MSI}"
            VERBATIM)
        list(APPEND generated ${checksum})
    endif()
    if(ARG_MSI AND NOT ARG_UNCHECKED)
        set(checked ${dir}/product_code.checked)
        tervo_check_product_code(${checked} ${ARG_MSI} ${ARG_PRODUCT_CODE} ${ARG_TARGET} ${ARG_DEPENDS})
    endif()
    if(DEFINED ARG_CHECKSUM_TEXT OR generated)
        string(APPEND content "MSI_CHECKSUM RCDATA \"${checksum}\"\n")
        list(APPEND depends ${checksum})
    endif()
    if(NOT ARG_NO_PRODUCT_CODE)
        string(TOUPPER "${ARG_PRODUCT_CODE}" code)
        if(ARG_UNCHECKED)
            set(code "${ARG_PRODUCT_CODE}")
        endif()
        file(WRITE ${dir}/product_code.bin "${code}")
        string(APPEND content "PRODUCT_CODE RCDATA \"${dir}/product_code.bin\"\n")
        list(APPEND depends ${dir}/product_code.bin)
    endif()
    if(DEFINED ARG_PACKAGE_FILE_NAME)
        file(WRITE ${dir}/msi_filename.bin "${ARG_PACKAGE_FILE_NAME}")
        string(APPEND content "MSI_FILENAME RCDATA \"${dir}/msi_filename.bin\"\n")
        list(APPEND depends ${dir}/msi_filename.bin)
    endif()
    if(ARG_DEFAULT_LOG_OFF)
        file(WRITE ${dir}/default_log.bin "off")
        string(APPEND content "DEFAULT_LOG RCDATA \"${dir}/default_log.bin\"\n")
        list(APPEND depends ${dir}/default_log.bin)
    endif()
    if(ARG_PACKAGE_CACHE_OFF)
        file(WRITE ${dir}/package_cache.bin "off")
        string(APPEND content "PACKAGE_CACHE RCDATA \"${dir}/package_cache.bin\"\n")
        list(APPEND depends ${dir}/package_cache.bin)
    endif()
    if(DEFINED ARG_PRODUCT_NAME OR DEFINED ARG_PRODUCT_VERSION)
        string(APPEND content "1 VERSIONINFO\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904B0\"\n    BEGIN\n")
        foreach(field PRODUCT_NAME PRODUCT_VERSION)
            if(DEFINED ARG_${field})
                string(REPLACE "_" "" key "${field}")
                string(REPLACE "PRODUCTNAME" "ProductName" key "${key}")
                string(REPLACE "PRODUCTVERSION" "ProductVersion" key "${key}")
                string(REPLACE "\"" "\"\"" value "${ARG_${field}}")
                string(APPEND content "      VALUE \"${key}\", \"${value}\"\n")
            endif()
        endforeach()
        string(APPEND content "    END\n  END\nEND\n")
    endif()
    file(WRITE ${rc} "${content}")
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${depends}")
    tervo_add_launcher(${ARG_TARGET} ${rc} ${generated} ${checked})
    target_include_directories(${ARG_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/windows/native/launcher)
    if(ARG_DEPENDS)
        add_dependencies(${ARG_TARGET} ${ARG_DEPENDS})
    endif()
endfunction()

# tervo_add_msi(<target> [ALL] OUTPUT <package> SOURCE <wxs> [DEPENDS <files>...]): builds a Windows
# Installer package with wixl; <target> is the build step other targets can depend on, built by
# default with ALL.
function(tervo_add_msi target)
    cmake_parse_arguments(ARG "ALL" "OUTPUT;SOURCE" "DEPENDS" ${ARGN})
    find_program(TERVO_WIXL wixl REQUIRED)
    get_filename_component(source_dir ${ARG_SOURCE} DIRECTORY)
    add_custom_command(OUTPUT ${ARG_OUTPUT}
        COMMAND ${TERVO_WIXL} -a x64 -o ${ARG_OUTPUT} ${ARG_SOURCE}
        WORKING_DIRECTORY ${source_dir}
        DEPENDS ${ARG_SOURCE} ${ARG_DEPENDS}
        COMMENT "Building package ${ARG_OUTPUT}"
        VERBATIM)
    if(ARG_ALL)
        add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
    else()
        add_custom_target(${target} DEPENDS ${ARG_OUTPUT})
    endif()
endfunction()
