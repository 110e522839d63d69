# windows.cmake - the 32-bit Windows tree: setup.exe, the sample product and the
# tests that run them under Wine.

enable_language(RC)

# The payload tool runs on the build host, so it is built here as a project of
# its own with the host's compiler.
include(ExternalProject)
set(PAYLOAD_TOOL ${CMAKE_BINARY_DIR}/hosttools/payloadtool)
ExternalProject_Add(hosttools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools
    BINARY_DIR ${CMAKE_BINARY_DIR}/hosttools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${PAYLOAD_TOOL})

add_subdirectory(product product-build)
include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/zstd.cmake)

# The sample product is packed into payload.bin and linked into the image once.
# The shipped setup.exe is that image stamped with the product files: the sample
# product, or a vendor's, which then never pass through the resource compiler
# and the linker.
set(SETUP_PAYLOAD "" CACHE STRING
    "Product files the setup carries: a folder (every file in it and its subfolders, Tandreloop.exe last) or a ;-separated list of files in payload order. Empty: the sample product built here.")
set(SETUP_PAYLOAD_CODEPAGE "" CACHE STRING
    "Windows code page the payload's file names are written in (1252, 1250, 932, ...), for names outside ASCII. Empty: names must be plain ASCII.")
set(codepage_option "")
if(SETUP_PAYLOAD_CODEPAGE)
    set(codepage_option --codepage ${SETUP_PAYLOAD_CODEPAGE})
endif()
# Rewritten only when the value changes, so that a new code page stamps again.
set(codepage_stamp ${CMAKE_BINARY_DIR}/payload-codepage.txt)
file(CONFIGURE OUTPUT ${codepage_stamp} CONTENT "${SETUP_PAYLOAD_CODEPAGE}\n")
set(SETUP_COMPRESS OFF CACHE STRING
    "Carry the product compressed (payloadtool stamp --compress): OFF, ON (zstd level 22) or a level from 1 to 22. OFF: stored, as the sample setup.exe is.")
set(compress_option "")
if(SETUP_COMPRESS MATCHES "^[0-9]+$")
    set(compress_option --compress=${SETUP_COMPRESS})
elseif(SETUP_COMPRESS)
    set(compress_option --compress)
endif()
set(compress_stamp ${CMAKE_BINARY_DIR}/payload-compress.txt)
file(CONFIGURE OUTPUT ${compress_stamp} CONTENT "${compress_option}\n")
set(sample_files $<TARGET_FILE:tandrecore> $<TARGET_FILE:tandredraw> $<TARGET_FILE:tandreloop>)
if(SETUP_PAYLOAD)
    list(LENGTH SETUP_PAYLOAD payload_count)
    set(payload_files ${SETUP_PAYLOAD})
    set(payload_depends ${SETUP_PAYLOAD})
    if(payload_count EQUAL 1 AND IS_DIRECTORY "${SETUP_PAYLOAD}")
        # The payload tool walks the folder itself; this only tells the build
        # when to stamp again: a file changed at any depth, or one added,
        # removed or renamed (which changes its folder's time).
        file(GLOB_RECURSE payload_depends LIST_DIRECTORIES true CONFIGURE_DEPENDS "${SETUP_PAYLOAD}/*")
        list(APPEND payload_depends "${SETUP_PAYLOAD}")
        # A link to nothing would stop make before the tool could say what is wrong.
        foreach(path IN LISTS payload_depends)
            if(NOT EXISTS "${path}")
                list(REMOVE_ITEM payload_depends "${path}")
            endif()
        endforeach()
    endif()
else()
    set(payload_files ${sample_files})
    set(payload_depends tandrecore tandredraw tandreloop)
endif()

set(GENERATED_RESOURCES ${CMAKE_BINARY_DIR}/resources)
set(PAYLOAD_BIN ${GENERATED_RESOURCES}/payload.bin)
set(LICENSE_BIN ${GENERATED_RESOURCES}/license.bin)
file(MAKE_DIRECTORY ${GENERATED_RESOURCES})

add_custom_command(OUTPUT ${PAYLOAD_BIN}
    COMMAND ${PAYLOAD_TOOL} pack -o ${PAYLOAD_BIN} ${sample_files}
    DEPENDS hosttools ${PAYLOAD_TOOL} tandrecore tandredraw tandreloop
    COMMENT "Packing the sample product"
    VERBATIM)
add_custom_target(payload DEPENDS ${PAYLOAD_BIN})
add_custom_command(OUTPUT ${LICENSE_BIN}
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/append-zero.sh ${CMAKE_SOURCE_DIR}/resources/license.txt ${LICENSE_BIN}
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/license.txt ${CMAKE_SOURCE_DIR}/cmake/append-zero.sh
    VERBATIM)

set(SETUP_SOURCES
    window/entry.cpp
    window/main.cpp
    window/dialog.cpp
    window/chooser.cpp
    window/systemdlls.cpp
    install/unpack.cpp
    install/filesink.cpp
    install/places.cpp
    install/source.cpp
    install/decodesource.cpp
    install/check.cpp
    install/transaction.cpp
    install/folderacl.cpp
    install/startedfile.cpp
    install/decode.cpp
    install/shortcut.cpp
    install/sequence.cpp
    resources/setup.rc)
list(TRANSFORM SETUP_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
add_executable(setupimage WIN32 ${SETUP_SOURCES})
set_target_properties(setupimage PROPERTIES OUTPUT_NAME setup-linked)
# install/steps.h: the benchmark's step marks, empty in this build.
target_include_directories(setupimage PRIVATE window install resources ${GENERATED_RESOURCES})
set(resource_files banner.bmp browse.bmp setup.ico setup.manifest resource.h)
list(TRANSFORM resource_files PREPEND ${CMAKE_SOURCE_DIR}/resources/)
set_source_files_properties(resources/setup.rc PROPERTIES
    OBJECT_DEPENDS "${PAYLOAD_BIN};${LICENSE_BIN};${resource_files}")
# No import libraries of comctl32, ole32 or shell32: the image imports only
# kernel32, user32, gdi32, advapi32 and msvcrt (window/systemdlls.h says why);
# uuid is data (the shell link's class and interface ids), not a DLL.
target_link_libraries(setupimage PRIVATE setupcore zstddecoder uuid advapi32)
# Large-address-aware: on 64-bit Windows the process then has 4 GB of address
# space, so a setup carrying a large product still finds room for its DLLs and
# heaps next to the image.
target_link_options(setupimage PRIVATE -nostartfiles -Wl,-e,_WinMainCRTStartup@0 -Wl,--large-address-aware)

# Stamping checks the files by the setup's rules, puts the resource section on a
# 4 KB boundary in the file (so that a loader maps the payload instead of
# reading it in at start-up) and sets the image checksum. Signing comes last:
# any later change to the file would break the signature.
set(SETUP_EXE ${CMAKE_BINARY_DIR}/setup.exe)
set(sign_step "")
if(SETUP_SIGN_COMMAND)
    set(sign_step COMMAND ${SETUP_SIGN_COMMAND} ${SETUP_EXE})
endif()
add_custom_command(OUTPUT ${SETUP_EXE}
    COMMAND ${PAYLOAD_TOOL} stamp $<TARGET_FILE:setupimage> -o ${SETUP_EXE} ${codepage_option} ${compress_option}
            ${payload_files}
    COMMAND ${PAYLOAD_TOOL} verify ${SETUP_EXE} ${codepage_option}
    ${sign_step}
    DEPENDS setupimage hosttools ${PAYLOAD_TOOL} ${payload_depends} ${codepage_stamp} ${compress_stamp}
            ${SETUP_SIGN_DEPENDS}
    COMMENT "Stamping the product into setup.exe"
    VERBATIM)
add_custom_target(setup ALL DEPENDS ${SETUP_EXE})

add_subdirectory(tests/win)
add_subdirectory(tests/e2e)
add_subdirectory(bench EXCLUDE_FROM_ALL)
