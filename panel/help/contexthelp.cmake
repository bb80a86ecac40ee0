# Context help: text store, markup renderer and the pointer-following help window.
varlo_panel_module(contexthelp
    PURE ${CMAKE_CURRENT_LIST_DIR}/helpstore.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helpmarkup.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helprender.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helptrack.cpp
    WIN  ${CMAKE_CURRENT_LIST_DIR}/helpwindow.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helpgdi.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helpservices.cpp
    LIBS panelbutton gdicache base user32 gdi32)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(helpstore_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helpstore_test.cpp
                    LIBS contexthelp_pure)
    varlo_host_test(helprender_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helprender_test.cpp
                    LIBS contexthelp_pure)
    varlo_host_test(helptrack_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helptrack_test.cpp
                    LIBS contexthelp_pure)
    target_compile_definitions(helprender_test PRIVATE
        VARLO_HELPTEXT_PATH="${CMAKE_CURRENT_LIST_DIR}/../res/helptext.txt")
    # The fuzzer starts from the program's help texts, copied: libFuzzer adds to its corpus folder.
    file(COPY ${CMAKE_CURRENT_LIST_DIR}/../res/helptext.txt
         DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/help-corpus)
    varlo_fuzzer(helprender_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/helprender_fuzz.cpp
                 LIBS contexthelp_pure CORPUS ${CMAKE_CURRENT_BINARY_DIR}/help-corpus)
endif()

if(VARLO_TREE STREQUAL "win")
    get_property(panel_rc GLOBAL PROPERTY VARLO_PANEL_RC)
    # windres reports no dependencies: the compiled resources follow the help texts by hand.
    set_property(SOURCE ${panel_rc} DIRECTORY ${VARLO_PANEL_DIR} ${CMAKE_CURRENT_SOURCE_DIR}
                 APPEND PROPERTY OBJECT_DEPENDS ${VARLO_PANEL_DIR}/res/helptext.rc
                                                ${VARLO_PANEL_DIR}/res/helptext.txt)
    varlo_wine_test(helpwindow_wine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helpwindow_wine_test.cpp
                    ${panel_rc} LIBS contexthelp user32 gdi32)
endif()

# Benchmark of the layout passes (run by hand in the bench tree; not a test).
if(VARLO_TREE STREQUAL "host")
    find_package(benchmark QUIET)
    if(benchmark_FOUND)
        add_executable(helprender_bench ${CMAKE_CURRENT_LIST_DIR}/helprender_bench.cpp)
        target_link_libraries(helprender_bench PRIVATE contexthelp_pure benchmark::benchmark)
        target_compile_definitions(helprender_bench PRIVATE
            VARLO_HELPTEXT_PATH="${CMAKE_CURRENT_LIST_DIR}/../res/helptext.txt")
    endif()
endif()
