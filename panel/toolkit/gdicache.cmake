# The process-wide GDI object cache and shared palette.
varlo_panel_module(gdicache
    PURE palettelist.cpp fontdesc.cpp
    WIN gdicache.cpp
    LIBS base gdi32 user32)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(gdicache_pure_test SOURCES palettelist_test.cpp LIBS gdicache_pure)
endif()

if(VARLO_TREE STREQUAL "win")
    get_property(panel_rc GLOBAL PROPERTY VARLO_PANEL_RC)
    varlo_wine_test(gdicache_wine_test SOURCES gdicache_wine_test.cpp ${panel_rc} LIBS gdicache)
    # The same cases on an 8-bit palette screen of its own (own Xvfb, prefix and wineserver).
    add_test(NAME gdicache_wine_test_palette
             COMMAND env -u VARLO_DISPLAY VARLO_XVFB_DEPTH=8 VARLO_EXPECT_PALETTE=1
                     ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh ${CMAKE_BINARY_DIR}/wineprefix-palette
                     ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:gdicache_wine_test>
                     --gtest_brief=1)
    set_tests_properties(gdicache_wine_test_palette PROPERTIES LABELS "wine" TIMEOUT 600)
endif()
