# MIDI input parser and distribution to the clients.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/parser.cpp)
