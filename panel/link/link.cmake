# The interface protocol (pure) and the MIDI port link (Win32).
varlo_panel_module(link PURE protocol.cpp WIN midilink.cpp LIBS winmm)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(link_protocol_test SOURCES protocol_test.cpp LIBS link_pure)
    varlo_fuzzer(link_protocol_fuzz SOURCES protocol_fuzz.cpp LIBS link_pure)
elseif(VARLO_TREE STREQUAL "win")
    # The link through Wine's winmm and the user-mode MIDI driver's in-process loopback; one run
    # per port layout, since winmm reads a driver's ports once per process.
    varlo_wine_test(link_midilink_test SOURCES midilink_wine_test.cpp LIBS link user32)
    set_tests_properties(link_midilink_test PROPERTIES FIXTURES_REQUIRED varlo_midi)
    set_property(TEST link_midilink_test APPEND PROPERTY ENVIRONMENT
                 "VARLO_UMDRV_CHANNEL=loop" "VARLO_UMDRV_INPUTS=xVxVVx" "VARLO_UMDRV_OUTPUTS=xVxV")
endif()
if(VARLO_TREE STREQUAL "win")
    foreach(layout "noout;VV;x" "none;xx;x")
        list(GET layout 0 suffix)
        list(GET layout 1 inputs)
        list(GET layout 2 outputs)
        add_test(NAME link_midilink_test_${suffix}
                 COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
                         $<TARGET_FILE:link_midilink_test> --gtest_brief=1)
        set_tests_properties(link_midilink_test_${suffix} PROPERTIES
            LABELS "wine" TIMEOUT 600 FIXTURES_REQUIRED varlo_midi SKIP_RETURN_CODE 77
            ENVIRONMENT "VARLO_WINE_TEST=1;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;VARLO_UMDRV_CHANNEL=loop;VARLO_UMDRV_INPUTS=${inputs};VARLO_UMDRV_OUTPUTS=${outputs}")
    endforeach()
    # No device host listens on port 1.
    add_test(NAME link_midilink_test_nodevice
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh
                     $<TARGET_FILE:link_midilink_test> --gtest_brief=1)
    set_tests_properties(link_midilink_test_nodevice PROPERTIES
        LABELS "wine" TIMEOUT 600 FIXTURES_REQUIRED varlo_midi SKIP_RETURN_CODE 77
        ENVIRONMENT "VARLO_WINE_TEST=1;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;VARLO_BRIDGE_PORT=1")
endif()

# End to end: the link through winmm and the driver's bridge channel to the device host with the
# driver and the interface model (fixture varlo_devhost, umdrv/CMakeLists.txt).
if(VARLO_TREE STREQUAL "win")
    varlo_wine_test(link_e2e_test
        SOURCES link_e2e_wine_test.cpp ${CMAKE_SOURCE_DIR}/bridge/bridge_token.cpp
        LIBS link user32 ws2_32)
    set_tests_properties(link_e2e_test PROPERTIES FIXTURES_REQUIRED "varlo_midi;varlo_devhost")
    set_property(TEST link_e2e_test APPEND PROPERTY ENVIRONMENT
                 "VARLO_BRIDGE_PORT_FILE=${VARLO_DEVHOST_PORT_FILE}")
endif()
