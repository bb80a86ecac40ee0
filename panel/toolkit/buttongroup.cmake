# Radio groups of panel keys.
varlo_panel_module(buttongroup PURE buttongroup.cpp WIN buttongroup_win.cpp
    LIBS panelbutton gdicache user32)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(buttongroup_test SOURCES buttongroup_test.cpp LIBS buttongroup_pure)
endif()
if(VARLO_TREE STREQUAL "win")
    varlo_wine_test(panelcontrols_wine_test SOURCES panelcontrols_wine_test.cpp
        LIBS buttongroup panelbutton gdicache base gdi32 user32)
endif()
