# Context help: text store, markup renderer and the pointer-following help window.
varlo_panel_module(help
    PURE ${CMAKE_CURRENT_LIST_DIR}/helpstore.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helprender.cpp
         ${CMAKE_CURRENT_LIST_DIR}/helptrack.cpp)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(helpstore_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helpstore_test.cpp
                    LIBS help_pure)
    varlo_host_test(helprender_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helprender_test.cpp
                    LIBS help_pure)
    varlo_host_test(helptrack_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/helptrack_test.cpp
                    LIBS help_pure)
    varlo_fuzzer(helpstore_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/helpstore_fuzz.cpp
                 LIBS help_pure)
endif()
