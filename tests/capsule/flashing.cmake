# Tests of the flashing side: user sessions, the flash tool launch and firmware staging.

# The staging plan and the tool's command line and environment: portable, in both trees.
nyx_test(flashing_portable_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/staging_plan_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tool_command_test.cpp
    LIBS nyx_flashing_portable)

if(WIN32)
    nyx_test(wts_info_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/wts_info_test.cpp LIBS nyx_flashing)
endif()

if(WIN32 AND NOT NYX_SIMULATION)
    add_library(nyx_fake_tool_control STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_tool_control.cpp)
    target_link_libraries(nyx_fake_tool_control PUBLIC nyx_test_support nyx_options)

    # Both start the fake flashing tool, write the service log and (staging) the service key and
    # the firmware folders.
    foreach(test kel_launch_test firmware_staging_test)
        nyx_test(${test} SERIAL
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp
            LIBS nyx_flashing nyx_fake_tool_control nyx_test_support
            DEPENDS fake_flash_tools fake_flash_tool_32)
        target_compile_definitions(${test} PRIVATE
            NYX_FAKE_TOOL_FOLDER="$<TARGET_FILE_DIR:QvKelFlash64>")
    endforeach()
    nyx_sign_for_tests(firmware_staging_test)  # it stands in for the service executable
endif()
