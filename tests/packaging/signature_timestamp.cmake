# A signature outlives its certificate only when it is time-stamped. Signs FILE with the build's
# signing commands STAMPED and UNSTAMPED ("|" between the words; <IN>, <OUT>, <CERT>, <KEY>,
# <TSA_CERT> and <TSA_KEY> stand for the files) under a signing certificate valid for one day,
# the time stamp coming from osslsigncode's built-in authority with a certificate for time
# stamping made here. Verified as of today both hold; as of three days later only the
# time-stamped one does, and its time stamp is verified too.
#   cmake -DOPENSSL=... -DOSSLSIGNCODE=... -DFILE=... -DWORK=<folder> -DSTAMPED=...
#         -DUNSTAMPED=... -P signature_timestamp.cmake
cmake_minimum_required(VERSION 3.20)  # kind names compare as text, not as variables
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# make_certificate(NAME DAYS USAGE)
function(make_certificate name days usage)
    execute_process(
        COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days ${days} -subj "/CN=${name}"
                -addext "keyUsage=critical,digitalSignature"
                -addext "extendedKeyUsage=critical,${usage}"
                -keyout ${WORK}/${name}.key -out ${WORK}/${name}.pem
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "openssl could not make the certificate ${name}")
    endif()
endfunction()
make_certificate(signer 1 codeSigning)
make_certificate(authority 3650 timeStamping)

string(TIMESTAMP now "%s" UTC)
math(EXPR expired "${now} + 3 * 86400")
foreach(kind STAMPED UNSTAMPED)
    string(REPLACE "|" ";" command "${${kind}}")
    string(REPLACE "<IN>" "${FILE}" command "${command}")
    string(REPLACE "<OUT>" "${WORK}/${kind}.exe" command "${command}")
    string(REPLACE "<CERT>" "${WORK}/signer.pem" command "${command}")
    string(REPLACE "<KEY>" "${WORK}/signer.key" command "${command}")
    string(REPLACE "<TSA_CERT>" "${WORK}/authority.pem" command "${command}")
    string(REPLACE "<TSA_KEY>" "${WORK}/authority.key" command "${command}")
    execute_process(COMMAND ${command} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "signing (${kind}) failed: ${output}")
    endif()
    foreach(time ${now} ${expired})
        execute_process(
            COMMAND ${OSSLSIGNCODE} verify -in ${WORK}/${kind}.exe -CAfile ${WORK}/signer.pem
                    -TSA-CAfile ${WORK}/authority.pem -time ${time}
            RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
        set(valid NO)
        if(result EQUAL 0 AND output MATCHES "\nSignature verification: ok")
            set(valid YES)
        endif()
        set(stamped NO)
        if(output MATCHES "Timestamp time: " AND
           output MATCHES "Timestamp Server Signature verification: ok")
            set(stamped YES)
        endif()
        set(expected_valid YES)
        if(kind STREQUAL "UNSTAMPED" AND time EQUAL expired)
            set(expected_valid NO)
        endif()
        set(expected_stamped NO)
        if(kind STREQUAL "STAMPED")
            set(expected_stamped YES)
        endif()
        if(NOT valid STREQUAL expected_valid OR NOT stamped STREQUAL expected_stamped)
            message(FATAL_ERROR "${kind} as of ${time}: valid ${valid} (expected "
                    "${expected_valid}), time-stamped ${stamped} (expected ${expected_stamped})"
                    "\n${output}")
        endif()
        message(STATUS "${kind} as of ${time}: valid ${valid}, time-stamped ${stamped}")
    endforeach()
endforeach()
