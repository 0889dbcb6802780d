# Warnings for the project's own targets; QF_WERROR turns them into errors (CI sets it).
option(QF_WERROR "Treat warnings as errors" OFF)

function(qf_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wcast-qual
        -Wnull-dereference -Wimplicit-fallthrough)
    if(QF_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
