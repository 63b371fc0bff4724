# Authenticode signing. The service checks that the flashing tool and the toast activator it
# starts are signed with the certificate that signed its own executable, so every tree that
# builds the service signs it, and the Windows and simulation trees sign the fake tools too.
#
# NYX_SIGNING_CERT and NYX_SIGNING_KEY name a PEM certificate and its unencrypted PEM key: a
# PC maker's signing step sets them to the company's code-signing certificate, and then that
# certificate signs the production service executable and nothing else. Every tree also makes
# a throwaway self-signed test certificate under the build tree (never committed), which a
# Windows machine that does not trust its root refuses. It signs what only tests and the demo
# use: the fake flashing tool under the maker's tool and activator names, the test programs
# that stand in for the service to check the fake tool, and the whole simulation tree, whose
# service (the one the end-to-end tests and the demo run) reads its BIOS data from the registry
# and so never carries the maker's signature. Left empty, the test certificate signs the
# production service too. Tests also get a second, foreign test certificate, to sign what the
# service must refuse.
#
# NYX_TIMESTAMP_URL names an RFC 3161 time-stamp server (several, separated by ";", are tried in
# turn); the CMake variable wins over the environment variable of the same name, both read when
# the tree is configured. Set, every signature nyx_sign makes with NYX_CERT is time-stamped, so
# it stays valid after the certificate expires, and a build that cannot reach a server fails
# rather than ship a file without a time stamp. Unset, signatures carry no time stamp; those of
# the test certificate never do.
set(NYX_SIGNING_CERT "" CACHE FILEPATH "PEM code-signing certificate (empty: a test certificate)")
set(NYX_SIGNING_KEY "" CACHE FILEPATH "PEM key of NYX_SIGNING_CERT")
set(NYX_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamp server(s) for every signature (empty: the environment's, else none)")

find_program(NYX_OPENSSL openssl REQUIRED)
find_program(NYX_OSSLSIGNCODE osslsigncode REQUIRED)
set(NYX_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)

# Makes <name>.pem and <name>.key under NYX_SIGNING_DIR once: RSA 2048, code-signing usage.
function(nyx_test_certificate name common_name)
    if(EXISTS ${NYX_SIGNING_DIR}/${name}.pem AND EXISTS ${NYX_SIGNING_DIR}/${name}.key)
        return()
    endif()
    file(MAKE_DIRECTORY ${NYX_SIGNING_DIR})
    execute_process(
        COMMAND ${NYX_OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=${common_name}"
                -addext "keyUsage=critical,digitalSignature"
                -addext "extendedKeyUsage=codeSigning"
                -keyout ${NYX_SIGNING_DIR}/${name}.key -out ${NYX_SIGNING_DIR}/${name}.pem
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "openssl could not make the test certificate ${name}")
    endif()
endfunction()

nyx_test_certificate(test "QV NYX Test Signing")
set(NYX_TEST_CERT ${NYX_SIGNING_DIR}/test.pem)
set(NYX_TEST_KEY ${NYX_SIGNING_DIR}/test.key)
nyx_test_certificate(foreign "Foreign Test Signing")

if(NYX_SIGNING_CERT AND NOT NYX_SIMULATION)
    set(NYX_CERT ${NYX_SIGNING_CERT})
    set(NYX_KEY ${NYX_SIGNING_KEY})
else()
    if(NYX_SIGNING_CERT)
        message(STATUS "A simulation tree signs with the test certificate only")
    endif()
    set(NYX_CERT ${NYX_TEST_CERT})
    set(NYX_KEY ${NYX_TEST_KEY})
endif()

# The file names of the maker's flashing tool and activator, which the service stages and
# starts. No program of this project is signed with NYX_CERT under one of them.
set(NYX_MAKER_TOOL_NAMES
    QvKelFlash64 QvKelFlash QVToastNotificationActivator64 QVToastNotificationActivator)

# The options that time-stamp a signature: "-ts <url>" for each server. A directory may set
# other osslsigncode time-stamp options before it asks for a signing command (a test uses
# osslsigncode's built-in authority, which needs no network).
set(NYX_TIMESTAMP_SERVERS "${NYX_TIMESTAMP_URL}")
if(NOT NYX_TIMESTAMP_SERVERS)
    set(NYX_TIMESTAMP_SERVERS "$ENV{NYX_TIMESTAMP_URL}")
endif()
set(NYX_TIMESTAMP_OPTIONS "")
foreach(server IN LISTS NYX_TIMESTAMP_SERVERS)
    list(APPEND NYX_TIMESTAMP_OPTIONS -ts ${server})
endforeach()
if(NYX_TIMESTAMP_OPTIONS)
    message(STATUS "Signatures are time-stamped by: ${NYX_TIMESTAMP_SERVERS}")
endif()

# The command that signs |in| into |out| with |cert| and |key|, time-stamped when
# NYX_TIMESTAMP_OPTIONS says so.
function(nyx_sign_command out_var in out cert key)
    set(${out_var} ${NYX_OSSLSIGNCODE} sign -certs ${cert} -key ${key} -h sha256
        -n "QV NYX Service" ${NYX_TIMESTAMP_OPTIONS} -in ${in} -out ${out} PARENT_SCOPE)
endfunction()

# Signs |target|'s executable, a product executable, in place after each link with NYX_CERT.
# Refuses a target named like the maker's tool or activator.
function(nyx_sign target)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    string(TOLOWER "${name}" name)
    string(TOLOWER "${NYX_MAKER_TOOL_NAMES}" maker_names)
    if(name IN_LIST maker_names)
        message(FATAL_ERROR "nyx_sign: ${target} carries a name of the maker's tools; "
                "sign it with nyx_sign_for_tests")
    endif()
    set(file $<TARGET_FILE:${target}>)
    nyx_sign_command(sign ${file} ${file}.signed ${NYX_CERT} ${NYX_KEY})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${sign}
        COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
        VERBATIM)
endfunction()

# Signs |target|'s executable in place after each link with the test certificate, never time
# stamped: for the fake tools and the test programs that check files against their own signer.
function(nyx_sign_for_tests target)
    set(file $<TARGET_FILE:${target}>)
    set(NYX_TIMESTAMP_OPTIONS "")
    nyx_sign_command(sign ${file} ${file}.signed ${NYX_TEST_CERT} ${NYX_TEST_KEY})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${sign}
        COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
        VERBATIM)
endfunction()
