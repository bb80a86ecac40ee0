# Timecode record, start-time parsing and the time words of the interface decoders.
varlo_panel_module(timecode PURE timecode.cpp)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(timecode_test SOURCES timecode_test.cpp LIBS timecode_pure)
endif()
