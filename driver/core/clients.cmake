# Clients and the create, close, cleanup, read and write dispatch routines.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/clients.cpp)
