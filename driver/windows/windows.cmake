# Kernel-build-only glue: guarded copies from and to callers' buffers.
list(APPEND VARLO_DRIVER_WINDOWS_SOURCES ${CMAKE_CURRENT_LIST_DIR}/caller_buffer_windows.cpp)
