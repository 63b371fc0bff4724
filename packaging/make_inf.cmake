# Generates a firmware package's companion INF from firmware_package.inf.in.
#
#   cmake -DFAMILY=ABC -DVERSION=01130000 [-DOUTPUT_DIR=<folder>] [-DDRIVER_DATE=mm/dd/yyyy]
#         -P packaging/make_inf.cmake
#
# FAMILY: the BIOS family, three letters or digits, as the capsule's name begins.
# VERSION: the capsule's eight version digits (four two-digit groups, 01130000 = 01.13.00.00).
# Writes <OUTPUT_DIR>/<FAMILY>_<VERSION>.inf (OUTPUT_DIR defaults to the current folder), to
# sit beside the capsule <FAMILY>_<VERSION>.bin. DRIVER_DATE defaults to today (UTC).
# FIRMWARE_RESOURCES may name another family table than firmware_resources.txt beside this
# script.
cmake_minimum_required(VERSION 3.20)

function(fail text)
    message(FATAL_ERROR "make_inf: ${text}")
endfunction()

if(NOT DEFINED FAMILY OR NOT FAMILY MATCHES "^[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9]$")
    fail("FAMILY must be three letters or digits, got '${FAMILY}'")
endif()
if(NOT DEFINED VERSION OR NOT VERSION MATCHES "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]$")
    fail("VERSION must be eight digits, got '${VERSION}'")
endif()
if(NOT DEFINED OUTPUT_DIR)
    set(OUTPUT_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
endif()
if(NOT DEFINED DRIVER_DATE)
    string(TIMESTAMP DRIVER_DATE "%m/%d/%Y" UTC)
elseif(NOT DRIVER_DATE MATCHES "^[01][0-9]/[0-3][0-9]/[12][0-9][0-9][0-9]$")
    fail("DRIVER_DATE must be mm/dd/yyyy, got '${DRIVER_DATE}'")
endif()
if(NOT DEFINED FIRMWARE_RESOURCES)
    set(FIRMWARE_RESOURCES "${CMAKE_CURRENT_LIST_DIR}/firmware_resources.txt")
endif()

# The family's firmware resource GUID.
file(STRINGS "${FIRMWARE_RESOURCES}" lines)
string(TOUPPER "${FAMILY}" family_upper)
set(FIRMWARE_RESOURCE_GUID "")
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z0-9]+)[ \t]+([0-9A-Fa-f-]+)[ \t]*$")
        string(TOUPPER "${CMAKE_MATCH_1}" listed)
        if(listed STREQUAL family_upper)
            set(FIRMWARE_RESOURCE_GUID "${CMAKE_MATCH_2}")
        endif()
    endif()
endforeach()
if(FIRMWARE_RESOURCE_GUID STREQUAL "")
    fail("family '${FAMILY}' is not listed in ${FIRMWARE_RESOURCES}")
endif()
# CMake's expressions have no repetition counts: the GUID's shape is checked by its groups.
string(REGEX REPLACE "[0-9A-Fa-f]" "x" guid_shape "${FIRMWARE_RESOURCE_GUID}")
if(NOT guid_shape STREQUAL "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx")
    fail("the GUID of family '${FAMILY}' is malformed: ${FIRMWARE_RESOURCE_GUID}")
endif()

# 01130000 gives the groups 01 13 00 00: shown as 01.13.00.00, and as the driver version
# 1.13.0.0 (leading zeros dropped, as DriverVer's numbers are decimal).
set(PACKAGE_NAME "${FAMILY}_${VERSION}")
string(TOLOWER "${PACKAGE_NAME}" PACKAGE_NAME_LOWER)
set(groups "")
set(numbers "")
foreach(offset 0 2 4 6)
    string(SUBSTRING "${VERSION}" ${offset} 2 group)
    math(EXPR number "1${group} - 100")
    list(APPEND groups "${group}")
    list(APPEND numbers "${number}")
endforeach()
list(JOIN groups "." VERSION_DOTTED)
list(JOIN numbers "." DRIVER_VERSION)

configure_file("${CMAKE_CURRENT_LIST_DIR}/firmware_package.inf.in"
               "${OUTPUT_DIR}/${PACKAGE_NAME}.inf" @ONLY NEWLINE_STYLE CRLF)
message(STATUS "make_inf: wrote ${OUTPUT_DIR}/${PACKAGE_NAME}.inf")
