# The tiled panel background.
varlo_panel_module(background WIN background.cpp LIBS panelbuilder gdicache base gdi32 user32)

get_property(VARLO_PANEL_RC_FILE GLOBAL PROPERTY VARLO_PANEL_RC)
if(VARLO_TREE STREQUAL "win" AND VARLO_PANEL_RC_FILE)
    varlo_wine_test(background_wine_test
        SOURCES background_wine_test.cpp ${VARLO_PANEL_RC_FILE}
        LIBS background panelbuilder gdicache base)
endif()
