# The resource script of VARLOCTL. Its pictures and sound are generated at configure time by
# tools/assets/gen_assets.py (reproducible; rerun when the generator changes).
if(VARLO_TREE STREQUAL "win")
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(VARLO_ASSET_DIR ${CMAKE_CURRENT_BINARY_DIR}/assets)
    set(generator ${CMAKE_SOURCE_DIR}/tools/assets/gen_assets.py)
    execute_process(COMMAND ${Python3_EXECUTABLE} ${generator} ${VARLO_ASSET_DIR}
                    RESULT_VARIABLE generated)
    if(NOT generated EQUAL 0)
        message(FATAL_ERROR "gen_assets.py failed: ${generated}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${generator})
    configure_file(VARLOCTL.rc.in ${CMAKE_CURRENT_BINARY_DIR}/VARLOCTL.rc @ONLY)
    set(VARLO_PANEL_RC_FILE ${CMAKE_CURRENT_BINARY_DIR}/VARLOCTL.rc CACHE INTERNAL "")
    set_property(GLOBAL PROPERTY VARLO_PANEL_RC ${CMAKE_CURRENT_BINARY_DIR}/VARLOCTL.rc)
endif()
