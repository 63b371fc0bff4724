# The flashing side: user sessions, the flash tool launch and firmware staging.

# Portable part: the staging plan and the tool's command line and environment. Built and tested
# in both trees.
add_library(nyx_flashing_portable STATIC
    ${CMAKE_CURRENT_LIST_DIR}/staging_plan.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tool_command.cpp)
target_link_libraries(nyx_flashing_portable PUBLIC nyx_text nyx_options)

if(WIN32)
    add_library(nyx_flashing STATIC
        ${CMAKE_CURRENT_LIST_DIR}/wts_info.cpp
        ${CMAKE_CURRENT_LIST_DIR}/kel_launch.cpp
        ${CMAKE_CURRENT_LIST_DIR}/firmware_staging.cpp
        ${CMAKE_CURRENT_LIST_DIR}/signature_check.cpp)
    target_link_libraries(nyx_flashing PUBLIC
        nyx_flashing_portable nyx_service_state nyx_capsule_search nyx_service_log nyx_win
        nyx_options userenv wintrust crypt32)
endif()
