# A tree whose NYX_SIGNING_CERT names the maker's certificate signs no file that carries one of
# the maker's tool or activator names with it. Makes a stand-in maker certificate, configures a
# fresh tree of SOURCE with it and builds everything under tools/ (the fake tools and their
# signing steps), then reads the signer of every file of the tree named one of NAMES ("|"
# between them): none may be the maker's, and each name must be there signed with the tree's
# own test certificate, so that the tests still have a tool to run.
#   cmake -DSOURCE=... -DOPENSSL=... -DOSSLSIGNCODE=... -DWORK=<folder> -DNAMES=...
#         -P maker_signing.cmake
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(tree ${WORK}/tree)

# run(command...): fails with the command's output when the command fails.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${output}")
    endif()
endfunction()

# certificate_body(PEM_TEXT OUT): the base64 of the first certificate in PEM_TEXT, one line.
function(certificate_body text out_var)
    string(REGEX MATCH "-----BEGIN CERTIFICATE-----[^-]+" body "${text}")
    string(REGEX REPLACE "-----BEGIN CERTIFICATE-----|\n" "" body "${body}")
    set(${out_var} "${body}" PARENT_SCOPE)
endfunction()

# signer(FILE OUT): the base64 of the certificate that signed FILE, empty when it is unsigned.
function(signer file out_var)
    set(der ${WORK}/signature.der)
    file(REMOVE ${der})
    execute_process(COMMAND ${OSSLSIGNCODE} extract-signature -in ${file} -out ${der}
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    set(body "")
    if(result EQUAL 0)
        execute_process(COMMAND ${OPENSSL} pkcs7 -inform DER -in ${der} -print_certs
                        OUTPUT_VARIABLE certificates ERROR_QUIET)
        certificate_body("${certificates}" body)
    endif()
    set(${out_var} "${body}" PARENT_SCOPE)
endfunction()

run(${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Stand-in Maker Signing"
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning"
    -keyout ${WORK}/maker.key -out ${WORK}/maker.pem)
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${tree} -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-x86_64.cmake
    -DNYX_SIGNING_CERT=${WORK}/maker.pem -DNYX_SIGNING_KEY=${WORK}/maker.key)
run(${CMAKE_COMMAND} --build ${tree} --target tools/all -j 2)

file(READ ${WORK}/maker.pem text)
certificate_body("${text}" maker)
file(READ ${tree}/signing/test.pem text)
certificate_body("${text}" test)

string(REPLACE "|" ";" names "${NAMES}")
string(TOLOWER "${names}" lower_names)
set(problems "")
set(test_signed "")
file(GLOB_RECURSE files LIST_DIRECTORIES false ${tree}/*)
foreach(file IN LISTS files)
    get_filename_component(name ${file} NAME)
    string(TOLOWER "${name}" lower_name)
    list(FIND lower_names "${lower_name}" index)
    if(index EQUAL -1)
        continue()
    endif()
    signer(${file} body)
    if(body STREQUAL maker)
        string(APPEND problems "\n  signed with the maker's certificate: ${file}")
    elseif(body STREQUAL test)
        list(GET names ${index} name)
        list(APPEND test_signed ${name})
    endif()
    message(STATUS "checked ${file}")
endforeach()
foreach(name IN LISTS names)
    if(NOT name IN_LIST test_signed)
        string(APPEND problems "\n  no ${name} signed with the test certificate")
    endif()
endforeach()
if(problems)
    message(FATAL_ERROR "a tree signed with NYX_SIGNING_CERT:${problems}")
endif()
