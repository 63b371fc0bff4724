# Boost's header-only libraries for the cross build. The host's /usr/include must not be on
# the MinGW include path (it would pull in glibc headers), so the build tree gets a folder
# that holds nothing but a link to the boost headers.
set(NYX_BOOST_HEADERS /usr/include/boost CACHE PATH "Boost header folder")
if(NOT EXISTS ${NYX_BOOST_HEADERS}/format.hpp)
    message(FATAL_ERROR "Boost headers not found at ${NYX_BOOST_HEADERS} (apt-get install libboost-dev)")
endif()
if(NOT WIN32)
    add_library(nyx_boost INTERFACE)
    return()
endif()
set(NYX_BOOST_ROOT ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${NYX_BOOST_ROOT})
file(CREATE_LINK ${NYX_BOOST_HEADERS} ${NYX_BOOST_ROOT}/boost SYMBOLIC)
add_library(nyx_boost INTERFACE)
target_include_directories(nyx_boost SYSTEM INTERFACE ${NYX_BOOST_ROOT})
