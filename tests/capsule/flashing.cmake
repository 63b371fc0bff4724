# Tests of the flashing side: user sessions, the flash tool launch and firmware staging.
if(WIN32)
    add_library(nyx_fake_sessions STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_sessions.cpp)
    target_link_libraries(nyx_fake_sessions PUBLIC nyx_win nyx_options)

    nyx_test(wts_info_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/wts_info_test.cpp
        LIBS nyx_flashing nyx_fake_sessions)
endif()

if(WIN32 AND NOT NYX_SIMULATION)
    add_library(nyx_fake_tool_control STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_tool_control.cpp)
    target_link_libraries(nyx_fake_tool_control PUBLIC nyx_test_support nyx_options)

    # Starts the fake flashing tool and writes the service log.
    nyx_test(kel_launch_test SERIAL NO_MAIN
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/kel_launch_test.cpp
        LIBS nyx_flashing nyx_fake_sessions nyx_fake_tool_control nyx_test_support
        ARGS $<TARGET_FILE_DIR:QvKelFlash64>
        DEPENDS fake_flash_tools)
endif()

if(WIN32 AND NOT NYX_SIMULATION)
    # Stages into the firmware folders and the driver store, writes the service key and starts
    # the fake tool.
    nyx_test(firmware_staging_test SERIAL NO_MAIN
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/firmware_staging_test.cpp
        LIBS nyx_flashing nyx_fake_sessions nyx_fake_tool_control nyx_test_support
        ARGS $<TARGET_FILE_DIR:QvKelFlash64>
        DEPENDS fake_flash_tools fake_flash_tool_32)
endif()
