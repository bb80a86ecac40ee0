# Serial transport (ntddmser): port search, reader threads, output with cable selection.
list(APPEND VARLO_DRIVER_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/smport.cpp
     ${CMAKE_CURRENT_LIST_DIR}/smio.cpp)

if(VARLO_TREE STREQUAL "host")
    # Its race and stress cases also run under ThreadSanitizer (tsan tree, label tsan).
    varlo_host_test(transport_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/transport_test.cpp
                    LIBS varlo_devhost LABELS tsan)
endif()
