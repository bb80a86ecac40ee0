# Radio groups of panel keys.
varlo_panel_module(buttongroup PURE buttongroup.cpp LIBS gdicache)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(buttongroup_test SOURCES buttongroup_test.cpp LIBS buttongroup_pure)
endif()
