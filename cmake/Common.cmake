# Compiler settings shared by every target of the project.

# tmbl_defaults: what every target of the project links (warnings, hardening and the
# Qt safety macros); link it PRIVATE so nothing leaks to users of a library.
add_library(tmbl_defaults INTERFACE)
target_compile_options(tmbl_defaults INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12 reports false positives for std::optional of Qt types at -O2.
    target_compile_options(tmbl_defaults INTERFACE -Wno-maybe-uninitialized)
endif()
if(TMBL_WERROR)
    target_compile_options(tmbl_defaults INTERFACE -Werror)
endif()

# Hardening: cheap, and the program parses hostile files and network input.
target_compile_options(tmbl_defaults INTERFACE -fstack-protector-strong)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT TMBL_SANITIZE)
    target_compile_definitions(tmbl_defaults INTERFACE _FORTIFY_SOURCE=2)
endif()

# Qt safety macros; harmless on the targets without Qt.
target_compile_definitions(tmbl_defaults INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)

# The sanitizers apply to the whole build, third-party test code included.
if(TMBL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# tmbl_add_fuzzer(name source... LIBS lib...): a libFuzzer target, built only with
# TMBL_FUZZ under clang. A ctest entry runs it briefly over its seed corpus.
function(tmbl_add_fuzzer name)
    cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
    if(NOT TMBL_FUZZ)
        return()
    endif()
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS} tmbl_defaults)
    if(NOT F_SECONDS)
        set(F_SECONDS 20)
    endif()
    set(work "${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus")
    add_test(NAME ${name}
        COMMAND sh -c "mkdir -p '${work}' && '$<TARGET_FILE:${name}>' -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 '${work}' '${F_CORPUS}'")
    set_tests_properties(${name} PROPERTIES LABELS fuzz)
endfunction()
