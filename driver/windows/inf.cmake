# The INF that installs VARLO2K.sys travels beside it in the sys tree.
if(VARLO_TREE STREQUAL "sys")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/VARLO2K.inf ${CMAKE_BINARY_DIR}/driver/VARLO2K.inf
                   COPYONLY)
endif()
