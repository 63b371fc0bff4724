# Authenticode signing. The service checks that the flashing tool and the toast activator it
# starts are signed with the certificate that signed its own executable, so every tree that
# builds the service signs it, and the Windows and simulation trees sign the fake tools too.
#
# NYX_SIGNING_CERT and NYX_SIGNING_KEY name a PEM certificate and its unencrypted PEM key: a
# PC maker's signing step sets them to the company's code-signing certificate. Left empty, the
# build makes a throwaway self-signed test certificate under the build tree (never committed),
# which a Windows machine that does not trust its root refuses. Tests also get a second,
# foreign test certificate, to sign what the service must refuse.
#
# NYX_TIMESTAMP_URL names an RFC 3161 time-stamp server (several, separated by ";", are tried in
# turn); the CMake variable wins over the environment variable of the same name, both read when
# the tree is configured. Set, every signature is time-stamped, so it stays valid after the
# certificate expires, and a build that cannot reach a server fails rather than ship a file
# without a time stamp. Unset, signatures carry no time stamp (the tests' and the demo's).
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

if(NYX_SIGNING_CERT)
    set(NYX_CERT ${NYX_SIGNING_CERT})
    set(NYX_KEY ${NYX_SIGNING_KEY})
else()
    nyx_test_certificate(test "QV NYX Test Signing")
    set(NYX_CERT ${NYX_SIGNING_DIR}/test.pem)
    set(NYX_KEY ${NYX_SIGNING_DIR}/test.key)
endif()
nyx_test_certificate(foreign "Foreign Test Signing")

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

# Signs |target|'s executable after each link, in place.
function(nyx_sign target)
    set(file $<TARGET_FILE:${target}>)
    nyx_sign_command(sign ${file} ${file}.signed ${NYX_CERT} ${NYX_KEY})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${sign}
        COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
        VERBATIM)
endfunction()
