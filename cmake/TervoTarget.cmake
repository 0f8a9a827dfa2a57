# Compiler and linker settings shared by every Tervo target.
function(tervo_target_defaults target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
    else()
        # Separate sections let the linker drop what a program does not use.
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror -ffunction-sections -fdata-sections)
        # Static runtime: every Windows executable imports system DLLs only.
        if(WIN32)
            target_link_options(${target} PRIVATE -static)
        endif()
    endif()
endfunction()
