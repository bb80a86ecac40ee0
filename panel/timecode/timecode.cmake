# Timecode record, start-time parsing and the time words of the interface decoders (pure), and the
# panel's logic: groups, display fields, keys, the start-time edit and the interface's messages.
varlo_panel_module(timecode
    PURE timecode.cpp
    WIN timecodepanel.cpp
    LIBS link buttongroup panelbutton gdicache base glassdisplay contexthelp user32)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(timecode_test SOURCES timecode_test.cpp LIBS timecode_pure)
endif()

get_property(VARLO_PANEL_RC_FILE GLOBAL PROPERTY VARLO_PANEL_RC)
if(VARLO_TREE STREQUAL "win" AND VARLO_PANEL_RC_FILE)
    varlo_wine_test(timecodepanel_wine_test
        SOURCES timecodepanel_wine_test.cpp ${VARLO_PANEL_RC_FILE}
        LIBS timecode panelbuilder link buttongroup panelbutton glassdisplay gdicache base winmm
             version)
    set_tests_properties(timecodepanel_wine_test PROPERTIES
        RESOURCE_LOCK varlo_panel_settings TIMEOUT 120)
endif()
