# signing.cmake - options for signing setup.exe with SHA-256 Authenticode
#
#   SETUP_SIGN_PKCS12, or SETUP_SIGN_CERT and SETUP_SIGN_KEY   the key to sign with
#   SETUP_SIGN_PASSWORD_FILE or SETUP_SIGN_PASSWORD_ENV        where its password is
#   SETUP_SIGN_TIMESTAMP_URL                                   an RFC 3161 time-stamp server
#
# Defines SETUP_SIGN_COMMAND: put it after COMMAND, followed by a file, to sign
# that file in place with scripts/sign.sh. It is empty when no key is given.
# SETUP_SIGN_DEPENDS lists the files whose change must sign again: the key
# files and a file that changes with these options (so that turning signing on
# or off, or another key, takes effect in the next build).
# The password never goes into the cache: only the path of a file that holds it,
# or the name of an environment variable that the build reads when it signs.
# SOURCE_DATE_EPOCH in the build's environment pins the signing time.

set(SETUP_SIGN_PKCS12 "" CACHE FILEPATH
    "Sign setup.exe with this PKCS#12 file (.pfx, .p12): the code-signing key and its certificate chain")
set(SETUP_SIGN_CERT "" CACHE FILEPATH
    "Sign setup.exe with this code-signing certificate (and chain) in PEM, with SETUP_SIGN_KEY")
set(SETUP_SIGN_KEY "" CACHE FILEPATH "The private key in PEM that goes with SETUP_SIGN_CERT")
set(SETUP_SIGN_PASSWORD_FILE "" CACHE FILEPATH "A file that holds the key's password")
set(SETUP_SIGN_PASSWORD_ENV "" CACHE STRING
    "The NAME of an environment variable that holds the key's password when the build signs (not the password)")
set(SETUP_SIGN_TIMESTAMP_URL "" CACHE STRING "URL of an RFC 3161 time-stamp server to countersign the signature")

set(SETUP_SIGN_COMMAND "")
set(SETUP_SIGN_DEPENDS ${CMAKE_BINARY_DIR}/signing.txt)
if(SETUP_SIGN_PKCS12 AND (SETUP_SIGN_CERT OR SETUP_SIGN_KEY))
    message(FATAL_ERROR "Signing: set either SETUP_SIGN_PKCS12 or SETUP_SIGN_CERT and SETUP_SIGN_KEY, not both")
endif()
if((SETUP_SIGN_CERT AND NOT SETUP_SIGN_KEY) OR (SETUP_SIGN_KEY AND NOT SETUP_SIGN_CERT))
    message(FATAL_ERROR "Signing: SETUP_SIGN_CERT and SETUP_SIGN_KEY go together")
endif()
if(NOT SETUP_SIGN_PKCS12 AND NOT SETUP_SIGN_CERT)
    if(SETUP_SIGN_PASSWORD_FILE OR SETUP_SIGN_PASSWORD_ENV OR SETUP_SIGN_TIMESTAMP_URL)
        message(FATAL_ERROR "Signing: a password or time-stamp server is set but no key: "
                            "set SETUP_SIGN_PKCS12, or SETUP_SIGN_CERT and SETUP_SIGN_KEY")
    endif()
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/signing.txt CONTENT "not signed\n" @ONLY)
    return()
endif()
if(SETUP_SIGN_PASSWORD_FILE AND SETUP_SIGN_PASSWORD_ENV)
    message(FATAL_ERROR "Signing: set either SETUP_SIGN_PASSWORD_FILE or SETUP_SIGN_PASSWORD_ENV, not both")
endif()
if(SETUP_SIGN_PASSWORD_ENV AND NOT SETUP_SIGN_PASSWORD_ENV MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "Signing: SETUP_SIGN_PASSWORD_ENV takes the name of an environment variable, "
                        "not the password: remove it from the cache (cmake -U SETUP_SIGN_PASSWORD_ENV)")
endif()
foreach(option SETUP_SIGN_PKCS12 SETUP_SIGN_CERT SETUP_SIGN_KEY SETUP_SIGN_PASSWORD_FILE)
    if(${option} AND NOT (IS_ABSOLUTE "${${option}}" AND EXISTS "${${option}}"))
        message(FATAL_ERROR "Signing: ${option} must name an existing file by its full path, not ${${option}}")
    endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "Signing: osslsigncode not found (scripts/prepare.sh installs it)")
endif()

get_filename_component(sign_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/sign.sh ABSOLUTE)
set(SETUP_SIGN_COMMAND bash ${sign_script})
if(SETUP_SIGN_PKCS12)
    list(APPEND SETUP_SIGN_COMMAND --pkcs12 ${SETUP_SIGN_PKCS12})
else()
    list(APPEND SETUP_SIGN_COMMAND --cert ${SETUP_SIGN_CERT} --key ${SETUP_SIGN_KEY})
endif()
if(SETUP_SIGN_PASSWORD_FILE)
    list(APPEND SETUP_SIGN_COMMAND --password-file ${SETUP_SIGN_PASSWORD_FILE})
elseif(SETUP_SIGN_PASSWORD_ENV)
    list(APPEND SETUP_SIGN_COMMAND --password-env ${SETUP_SIGN_PASSWORD_ENV})
endif()
if(SETUP_SIGN_TIMESTAMP_URL)
    list(APPEND SETUP_SIGN_COMMAND --timestamp ${SETUP_SIGN_TIMESTAMP_URL})
endif()
list(APPEND SETUP_SIGN_DEPENDS ${SETUP_SIGN_PKCS12} ${SETUP_SIGN_CERT} ${SETUP_SIGN_KEY})
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/signing.txt CONTENT "${SETUP_SIGN_COMMAND}\n" @ONLY)
message(STATUS "Signing setup.exe with ${SETUP_SIGN_PKCS12}${SETUP_SIGN_CERT}")
