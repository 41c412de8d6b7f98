# Warnings for Quorvane's own targets (not for JUCE's or Qt's sources).
function(quorvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wnon-virtual-dtor)
    if(QUORVANE_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
