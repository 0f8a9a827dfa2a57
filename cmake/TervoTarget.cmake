# Compiler and linker settings shared by every Tervo target.
function(tervo_target_defaults target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
    else()
        # Separate sections let the linker drop what a program does not use.
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror -ffunction-sections -fdata-sections)
        # Static runtime: every Windows executable imports system DLLs only. The library's objects
        # carry intermediate code for the launchers' link-time optimisation; other programs are
        # linked from their machine code.
        if(WIN32)
            target_link_options(${target} PRIVATE -static -fno-lto)
        endif()
        # Reproducible programs: source locations name files relative to the tree, wherever it
        # was checked out, and the PE header carries no link time.
        target_compile_options(${target} PRIVATE -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
        if(WIN32)
            target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
        endif()
    endif()
endfunction()
