# Panel builder: dialog templates into child windows, caption markup, layout by the stretch band.
varlo_panel_module(panelbuilder
    PURE panelbuilder_template.cpp panelbuilder_caption.cpp
    WIN panelbuilder.cpp
    LIBS panelbutton base gdicache user32 gdi32)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(panelbuilder_pure_test
        SOURCES panelbuilder_template_test.cpp panelbuilder_caption_test.cpp
        LIBS panelbuilder_pure)
    # libFuzzer adds what it finds to its corpus folder: it works on a copy in the build tree.
    file(COPY template-corpus DESTINATION ${CMAKE_CURRENT_BINARY_DIR})
    varlo_fuzzer(panelbuilder_template_fuzz
        SOURCES panelbuilder_template_fuzz.cpp panelbuilder_template.cpp
        LIBS panelbuilder_pure
        CORPUS ${CMAKE_CURRENT_BINARY_DIR}/template-corpus)
    varlo_fuzzer(panelbuilder_caption_fuzz
        SOURCES panelbuilder_caption_fuzz.cpp panelbuilder_caption.cpp
        LIBS panelbuilder_pure panelbutton_pure)
endif()

get_property(VARLO_PANEL_RC_FILE GLOBAL PROPERTY VARLO_PANEL_RC)
if(VARLO_TREE STREQUAL "win" AND VARLO_PANEL_RC_FILE)
    set(VARLO_ASSET_DIR ${CMAKE_BINARY_DIR}/panel/res/assets)
    configure_file(panelbuilder_test.rc.in ${CMAKE_CURRENT_BINARY_DIR}/panelbuilder_test.rc @ONLY)
    varlo_wine_test(panelbuilder_wine_test
        SOURCES panelbuilder_wine_test.cpp ${VARLO_PANEL_RC_FILE}
                ${CMAKE_CURRENT_BINARY_DIR}/panelbuilder_test.rc
        LIBS panelbuilder panelbutton base gdicache)
endif()
