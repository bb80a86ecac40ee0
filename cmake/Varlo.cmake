# Build settings and helpers shared by every folder. Folders test VARLO_TREE (host, win, sys) to
# decide what they contribute to the tree being configured.

option(VARLO_WERROR "Treat warnings as errors" ON)
set(VARLO_SANITIZE "address,undefined" CACHE STRING
    "Host tree sanitizers: address,undefined | thread | none")

set(VARLO_WARNINGS -Wall -Wextra)
if(VARLO_WERROR)
    list(APPEND VARLO_WARNINGS -Werror)
endif()

if(VARLO_TREE STREQUAL "host")
    add_compile_options(${VARLO_WARNINGS} -g)
    if(NOT VARLO_SANITIZE STREQUAL "none")
        add_compile_options(-fsanitize=${VARLO_SANITIZE} -fno-omit-frame-pointer
                            -fno-sanitize-recover=all)
        add_link_options(-fsanitize=${VARLO_SANITIZE})
    endif()
    find_package(GTest REQUIRED)
    find_package(Threads REQUIRED)
elseif(VARLO_TREE STREQUAL "win")
    add_compile_options(${VARLO_WARNINGS})
    add_link_options(-static -static-libgcc -static-libstdc++)
    # GoogleTest for Windows, built from the Debian sources with the same toolchain.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
elseif(VARLO_TREE STREQUAL "sys")
    # Freestanding kernel-mode C++: no exceptions, no RTTI, no C++ runtime, SEH by clang. Unwind
    # data for every function, as the x64 ABI wants for stack walks.
    add_compile_options(${VARLO_WARNINGS} -fms-extensions -fno-exceptions -fno-rtti
                        -fasynchronous-unwind-tables
                        -ffreestanding -fno-threadsafe-statics -fno-builtin -mno-red-zone
                        -Wno-pragma-pack -Wno-unknown-pragmas -Wglobal-constructors
                        -Wexit-time-destructors
                        -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
                        -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
                        -DVARLO_KERNEL_WINDOWS=1)
    include_directories(SYSTEM /usr/share/mingw-w64/include/ddk)
endif()

# A GoogleTest program run natively (host tree), under the sanitizers.
#   varlo_host_test(name SOURCES a.cpp ... [LIBS lib ...] [LABELS l ...])
function(varlo_host_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES LABELS "host;${T_LABELS}" TIMEOUT 300)
endfunction()

# A GoogleTest program for Windows, run under Wine (win tree). The whole run shares one prefix,
# one wineserver and one X display, prepared by scripts/test.sh (see scripts/wine-env.sh).
#   varlo_wine_test(name SOURCES a.cpp ... [LIBS lib ...] [LABELS l ...])
function(varlo_wine_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    add_test(NAME ${name}
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:${name}> --gtest_brief=1)
    # Outside scripts/wine-env.sh the run is skipped with one line (scripts/wine-run.sh).
    set_tests_properties(${name} PROPERTIES LABELS "wine;${T_LABELS}" TIMEOUT 600
                         SKIP_RETURN_CODE 77
                         ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;VARLO_WINE_TEST=1")
endfunction()

# A libFuzzer target (host tree, clang only). Registered as a short smoke run over its corpus
# folder when that exists; longer runs are by hand (scripts/fuzz.sh).
#   varlo_fuzzer(name SOURCES a.cpp ... [LIBS lib ...] [CORPUS dir] [MAX_LEN bytes])
# MAX_LEN (default 4096) bounds the inputs, in the smoke run and in scripts/fuzz.sh.
function(varlo_fuzzer name)
    cmake_parse_arguments(F "" "CORPUS;MAX_LEN" "SOURCES;LIBS" ${ARGN})
    if(NOT F_MAX_LEN)
        set(F_MAX_LEN 4096)
    endif()
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        return()
    endif()
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(corpus)
    if(F_CORPUS)
        set(corpus ${F_CORPUS})
    endif()
    add_test(NAME ${name} COMMAND ${name} -runs=20000 -max_len=${F_MAX_LEN} ${corpus})
    set_tests_properties(${name} PROPERTIES LABELS "host;fuzz" TIMEOUT 300)
endfunction()

# Includes every *.cmake fragment of the calling folder, so that modules living side by side in one
# folder each keep their build lines in a file of their own (gdicache.cmake, controls.cmake, ...).
macro(varlo_include_fragments)
    file(GLOB _varlo_fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
    list(SORT _varlo_fragments)
    foreach(_varlo_fragment IN LISTS _varlo_fragments)
        include(${_varlo_fragment})
    endforeach()
endmacro()

# A module of the panel program.
#   varlo_panel_module(name [PURE src ...] [WIN src ...] [LIBS lib ...])
# PURE sources do not include <windows.h>: the host tree builds them as library name_pure for the
# host tests (sanitizers, fuzzers). The win tree builds PURE and WIN sources as library name and
# links it into VARLOCTL.exe. Include directory: the panel folder (#include "toolkit/gdicache.h").
function(varlo_panel_module name)
    cmake_parse_arguments(M "" "" "PURE;WIN;LIBS" ${ARGN})
    if(VARLO_TREE STREQUAL "host")
        if(M_PURE)
            add_library(${name}_pure STATIC ${M_PURE})
            target_include_directories(${name}_pure PUBLIC ${VARLO_PANEL_DIR})
            set(pure_libs)
            foreach(lib IN LISTS M_LIBS)
                if(TARGET ${lib}_pure)
                    list(APPEND pure_libs ${lib}_pure)
                endif()
            endforeach()
            target_link_libraries(${name}_pure PUBLIC ${pure_libs})
        endif()
    elseif(VARLO_TREE STREQUAL "win")
        add_library(${name} STATIC ${M_PURE} ${M_WIN})
        target_include_directories(${name} PUBLIC ${VARLO_PANEL_DIR})
        target_link_libraries(${name} PUBLIC ${M_LIBS})
        set_property(GLOBAL APPEND PROPERTY VARLO_PANEL_LIBS ${name})
    endif()
endfunction()
