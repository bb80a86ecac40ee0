# The glass display: the pure model (fields, layout, glyphs, cracks) and its window class.
varlo_panel_module(glassdisplay PURE glassmodel.cpp)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(glassmodel_test SOURCES glassmodel_test.cpp LIBS glassdisplay_pure)
endif()
