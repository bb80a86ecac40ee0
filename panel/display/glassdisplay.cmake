# The glass display: the pure model (fields, layout, glyphs, cracks) and its window class.
varlo_panel_module(glassdisplay PURE glassmodel.cpp glassdraw.cpp WIN glassdisplay.cpp LIBS gdicache base winmm)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(glassmodel_test SOURCES glassmodel_test.cpp LIBS glassdisplay_pure)
elseif(VARLO_TREE STREQUAL "win")
    varlo_wine_test(glassdisplay_wine_test
        SOURCES glassdisplay_wine_test.cpp glassdisplay_wine_test.rc
        LIBS glassdisplay gdicache base winmm gdi32 user32)
endif()
