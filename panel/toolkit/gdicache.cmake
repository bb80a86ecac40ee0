# The process-wide GDI object cache and shared palette.
varlo_panel_module(gdicache
    PURE palettelist.cpp fontspec.cpp
    WIN gdicache.cpp
    LIBS shell gdi32 user32)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(gdicache_pure_test SOURCES palettelist_test.cpp LIBS gdicache_pure)
endif()
