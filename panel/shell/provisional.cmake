# Stand-in entry of VARLOCTL until the program start module provides VARLO_PANEL_MAIN.
if(VARLO_TREE STREQUAL "win")
    set_property(GLOBAL PROPERTY VARLO_PANEL_MAIN ${CMAKE_CURRENT_SOURCE_DIR}/provisional_main.cpp)
endif()
