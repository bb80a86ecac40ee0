# Functions of the Varlo interface: probe, activation, cable switching, hardware information.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/varlo.cpp)

if(VARLO_TREE STREQUAL "host")
    varlo_host_test(interface_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/varlo_test.cpp
                    LIBS varlo_driver)
endif()
