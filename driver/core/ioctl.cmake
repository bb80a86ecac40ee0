# Device control interface: the fast device-control entry and its five handlers.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/ioctl.cpp)
