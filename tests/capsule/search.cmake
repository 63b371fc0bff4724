# The capsule search over real folder trees, the driver store and the firmware folder of the
# test prefix among them.
if(WIN32)
    nyx_test(capsule_search_test SERIAL
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/capsule_search_test.cpp
        LIBS nyx_capsule_search nyx_test_support)
endif()
