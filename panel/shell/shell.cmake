# Application shell services: resource strings and markers, version text, class registration,
# the about box and the settings store.
varlo_panel_module(shell
    PURE markers.cpp colortriple.cpp stringitems.cpp placement.cpp
    WIN resstr.cpp settings.cpp aboutbox.cpp
    LIBS user32 gdi32 advapi32 version)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(shell_text_test SOURCES markers_test.cpp textparse_test.cpp LIBS shell_pure)
endif()
