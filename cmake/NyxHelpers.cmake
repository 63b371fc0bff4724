# Shared compile options and the small helpers the subsystem folders use.

add_library(nyx_options INTERFACE)
target_compile_options(nyx_options INTERFACE -Wall -Wextra -Wformat=2 -Werror=format)
if(NYX_WERROR)
    target_compile_options(nyx_options INTERFACE -Werror)
endif()
target_include_directories(nyx_options INTERFACE ${PROJECT_SOURCE_DIR}/src)

if(WIN32)
    target_compile_definitions(nyx_options INTERFACE
        UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
    # No MinGW DLL may be needed at run time: the service ships as one executable.
    target_link_options(nyx_options INTERFACE -static -static-libgcc -static-libstdc++)
    # Hardening of every executable: a stack protector in each function with a local array or
    # an address-taken local, and the checked forms of the C library's string and stdio calls
    # where the size of the buffer is known (_FORTIFY_SOURCE; MinGW-w64's headers apply it only
    # when optimising). Both call into libssp, which -fstack-protector-strong on the link line
    # links in, statically under -static. The linker marks the image relocatable anywhere in
    # the 64-bit address space and its data not executable: binutils does so by default, said
    # here so that a linker with other defaults does it too. (NYX_HARDENING_OPTIONS is for a
    # program compiled and linked in one command, such as the 32-bit fake tool.)
    set(NYX_HARDENING_OPTIONS -fstack-protector-strong -D_FORTIFY_SOURCE=2
        -Wl,--dynamicbase,--nxcompat)
    target_compile_options(nyx_options INTERFACE -fstack-protector-strong)
    target_compile_definitions(nyx_options INTERFACE _FORTIFY_SOURCE=2)
    target_link_options(nyx_options INTERFACE -fstack-protector-strong
        -Wl,--dynamicbase,--nxcompat,--high-entropy-va)
else()
    set(NYX_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_compile_options(nyx_options INTERFACE ${NYX_SANITIZE})
    target_link_options(nyx_options INTERFACE ${NYX_SANITIZE})
endif()

# The Wine prefix every test of the Windows tree runs in; created by the fixture test
# "wine_prefix" (see tests/CMakeLists.txt), never the user's ~/.wine.
set(NYX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(NYX_TEST_ENVIRONMENT WINEPREFIX=${NYX_WINEPREFIX} WINEDEBUG=-all)

# nyx_test(NAME SOURCES src... [LIBS lib...] [SERIAL] [NO_MAIN] [ARGS arg...] [DEPENDS target...])
# A GoogleTest program. In the Windows tree it runs under Wine in the test prefix; SERIAL
# marks tests that touch the service's registry key, firmware folders or the service
# control manager, which must not run at the same time as each other.
function(nyx_test name)
    cmake_parse_arguments(T "SERIAL;NO_MAIN" "" "SOURCES;LIBS;ARGS;DEPENDS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} nyx_gtest nyx_options)
    if(NOT T_NO_MAIN)
        target_link_libraries(${name} PRIVATE gtest_main)
    endif()
    if(WIN32)
        # Test programs carry the product's version resource, as code that reads the
        # product name from its own module expects.
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src/service/version.rc)
        set_source_files_properties(${PROJECT_SOURCE_DIR}/src/service/version.rc
            PROPERTIES OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/src/service/version.h)
    endif()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${NYX_TEST_ENVIRONMENT}" TIMEOUT 300)
    if(WIN32)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix)
    endif()
    if(T_SERIAL)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK nyx_machine_state)
    endif()
    if(T_DEPENDS)
        add_dependencies(${name} ${T_DEPENDS})
    endif()
endfunction()
