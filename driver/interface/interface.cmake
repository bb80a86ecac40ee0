# Functions of the Varlo interface: probe, activation, cable switching, hardware information.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/varlo.cpp)
