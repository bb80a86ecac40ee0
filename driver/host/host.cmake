# Host-build-only glue, on the kernel-services layer: guarded copies from and to callers' buffers.
list(APPEND VARLO_DRIVER_HOST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/caller_buffer_host.cpp)
