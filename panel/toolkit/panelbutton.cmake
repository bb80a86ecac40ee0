# Keys and labels with colour markup (AppBtnClass, AppStatClass) and their drawing routines.
varlo_panel_module(panelbutton PURE controllogic.cpp
    WIN paneldraw.cpp panelbutton.cpp panellabel.cpp
    LIBS base gdicache gdi32 user32)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(controllogic_test SOURCES controllogic_test.cpp LIBS panelbutton_pure)
endif()
