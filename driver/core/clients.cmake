# Clients and the create, close, cleanup, read and write dispatch routines.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/clients.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/clientqueue.cpp)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(clients_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/clients_test.cpp
                    LIBS varlo_driver varlo_kernel_testing)
endif()
