# Base services of the panel: resource strings and markers, version text, class registration,
# the about box and the settings store.
varlo_panel_module(base
    PURE markers.cpp colortriple.cpp stringitems.cpp placement.cpp
    WIN resstr.cpp settings.cpp aboutbox.cpp
    LIBS user32 gdi32 advapi32 version)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(base_text_test SOURCES markers_test.cpp textparse_test.cpp LIBS base_pure)
endif()

if(VARLO_TREE STREQUAL "win")
    get_property(panel_rc GLOBAL PROPERTY VARLO_PANEL_RC)
    varlo_wine_test(base_wine_test SOURCES base_wine_test.cpp base_test.rc ${panel_rc}
                    LIBS base)
    target_compile_definitions(base_wine_test PRIVATE VARLOCTL_EXE="Z:$<TARGET_FILE:VARLOCTL>")
    add_dependencies(base_wine_test VARLOCTL)
    # The settings key of the shared prefix is also used by the panel's tests: one at a time.
    set_tests_properties(base_wine_test PROPERTIES RESOURCE_LOCK varlo_panel_settings)
endif()

if(VARLO_TREE STREQUAL "host")
    varlo_fuzzer(base_text_fuzz SOURCES text_fuzz.cpp LIBS base_pure)
endif()
