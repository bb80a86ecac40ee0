# Program start, main window and message loop of VARLOCTL.
varlo_panel_module(mainwindow
    WIN mainwindow.cpp
    LIBS panelbuilder background timecode link buttongroup panelbutton glassdisplay gdicache base
         comctl32 gdi32 user32)

get_property(VARLO_PANEL_RC_FILE GLOBAL PROPERTY VARLO_PANEL_RC)
if(VARLO_TREE STREQUAL "win")
    set_property(GLOBAL PROPERTY VARLO_PANEL_MAIN ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
    if(VARLO_PANEL_RC_FILE)
        varlo_wine_test(mainwindow_wine_test
            SOURCES mainwindow_wine_test.cpp ${VARLO_PANEL_RC_FILE}
            LIBS mainwindow panelbuilder background timecode link buttongroup panelbutton
                 glassdisplay gdicache contexthelp base comctl32 winmm version)
        # The panel's settings live in the shared prefix's registry.
        set_tests_properties(mainwindow_wine_test PROPERTIES
        RESOURCE_LOCK varlo_panel_settings TIMEOUT 120)
    endif()
endif()

# The same tests on an 8-bit palette display (a private Xvfb and prefix of their own), where the
# palette messages take effect.
get_property(VARLO_PANEL_RC_FILE GLOBAL PROPERTY VARLO_PANEL_RC)
if(VARLO_TREE STREQUAL "win" AND VARLO_PANEL_RC_FILE)
    add_test(NAME mainwindow_palette_wine_test
             COMMAND env -u VARLO_DISPLAY VARLO_XVFB_DEPTH=8
                     ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh ${CMAKE_BINARY_DIR}/wineprefix8
                     ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:mainwindow_wine_test>
                     --gtest_brief=1)
    set_tests_properties(mainwindow_palette_wine_test PROPERTIES LABELS "wine" TIMEOUT 300)
endif()
