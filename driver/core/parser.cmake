# MIDI input parser and distribution to the clients.
list(APPEND VARLO_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/parser.cpp)
if(VARLO_TREE STREQUAL "host")
    varlo_host_test(parser_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/parser_test.cpp
                    LIBS varlo_driver)
endif()
if(VARLO_TREE STREQUAL "host" AND NOT VARLO_SANITIZE MATCHES "thread")
    # The parser's own sources are built into the fuzzer so that they carry its coverage
    # instrumentation; the rest comes from varlo_driver. (libFuzzer does not pair with
    # ThreadSanitizer.)
    varlo_fuzzer(parser_fuzz
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/parser_fuzz.cpp
                         ${CMAKE_CURRENT_LIST_DIR}/parser.cpp
                         ${CMAKE_CURRENT_LIST_DIR}/clients.cpp
                 LIBS varlo_driver
                 # Long enough to fill a client's seven buffers with events (420 events of a byte each)
                 # and to span several pieces of System Exclusive, a full serial read and more.
                 MAX_LEN 1024)
    if(TARGET parser_fuzz)
        # Cheaper runs: the fuzzer's own checks carry no coverage, and the parser's comparisons
        # are not traced (they are against byte values that mutation finds at once anyway).
        target_compile_options(parser_fuzz PRIVATE -fno-sanitize-coverage=trace-cmp)
        set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/parser_fuzz.cpp PROPERTIES
            COMPILE_OPTIONS "-fno-sanitize-coverage=inline-8bit-counters,indirect-calls,pc-table")
    endif()
endif()
