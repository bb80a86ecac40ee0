# Kernel-build-only glue: guarded copies from and to callers' buffers.
list(APPEND VARLO_DRIVER_WINDOWS_SOURCES ${CMAKE_CURRENT_LIST_DIR}/caller_buffer_windows.cpp)
# The built image against the x64 rules: unwind data for every function with a stack frame, no
# exports.
if(VARLO_TREE STREQUAL "sys")
    add_test(NAME sys_image_test
             COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/image_test.py x86_64-w64-mingw32-objdump
                     $<TARGET_FILE:VARLO2K>)
    set_tests_properties(sys_image_test PROPERTIES LABELS sys)
endif()
