# Driver entry, device objects with their names, and the service key's values.
list(APPEND VARLO_DRIVER_SOURCES
     ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
     ${CMAKE_CURRENT_LIST_DIR}/device.cpp
     ${CMAKE_CURRENT_LIST_DIR}/names.cpp
     ${CMAKE_CURRENT_LIST_DIR}/config.cpp)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(driver_entry_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/entry_test.cpp
        LIBS varlo_driver varlo_kernel_testing)
endif()
