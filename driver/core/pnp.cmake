# Plug and Play, power and system control requests.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/pnp.cpp)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(pnp_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pnp_test.cpp
                    LIBS varlo_driver varlo_kernel_testing)
endif()
