# Plug and Play, power and system control requests.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/pnp.cpp)
