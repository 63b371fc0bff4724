# The capsule search, the two well-known folders it searches and the firmware folders (Windows
# only).
if(WIN32)
    add_library(nyx_capsule_search STATIC ${CMAKE_CURRENT_LIST_DIR}/capsule_search.cpp
        ${CMAKE_CURRENT_LIST_DIR}/firmware_folders.cpp)
    target_link_libraries(nyx_capsule_search PUBLIC nyx_versions nyx_service_log nyx_win nyx_options)
endif()
