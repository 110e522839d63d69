# windows.cmake - the 32-bit Windows tree: setup.exe, the sample product and the
# tests that run them under Wine.

enable_language(RC)

# The payload tool runs on the build host, so it is built here as a project of
# its own with the host's compiler.
include(ExternalProject)
set(PAYLOAD_TOOL ${CMAKE_BINARY_DIR}/hosttools/payloadtool)
set(PEALIGN ${CMAKE_BINARY_DIR}/hosttools/pealign)
ExternalProject_Add(hosttools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools
    BINARY_DIR ${CMAKE_BINARY_DIR}/hosttools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${PAYLOAD_TOOL} ${PEALIGN})

add_subdirectory(product product-build)
include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)

# What the setup carries. A vendor names their own product files here.
set(SETUP_PAYLOAD "" CACHE STRING
    "Product files the setup carries: a folder (every file in it, Tandreloop.exe last) or a ;-separated list of files in payload order. Empty: the sample product built here.")
if(SETUP_PAYLOAD)
    list(LENGTH SETUP_PAYLOAD payload_count)
    if(payload_count EQUAL 1 AND IS_DIRECTORY "${SETUP_PAYLOAD}")
        file(GLOB payload_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${SETUP_PAYLOAD}/*")
        list(SORT payload_files)
        set(payload_exe "${SETUP_PAYLOAD}/Tandreloop.exe")
        if(payload_exe IN_LIST payload_files)
            list(REMOVE_ITEM payload_files "${payload_exe}")
            list(APPEND payload_files "${payload_exe}")
        endif()
    else()
        set(payload_files ${SETUP_PAYLOAD})
    endif()
    set(payload_depends ${payload_files})
else()
    set(payload_files $<TARGET_FILE:tandrecore> $<TARGET_FILE:tandredraw> $<TARGET_FILE:tandreloop>)
    set(payload_depends tandrecore tandredraw tandreloop)
endif()

set(GENERATED_RESOURCES ${CMAKE_BINARY_DIR}/resources)
set(PAYLOAD_BIN ${GENERATED_RESOURCES}/payload.bin)
set(LICENSE_BIN ${GENERATED_RESOURCES}/license.bin)
file(MAKE_DIRECTORY ${GENERATED_RESOURCES})

# The payload is checked with the setup's own rules before it is embedded, so a
# damaged payload cannot be shipped.
add_custom_command(OUTPUT ${PAYLOAD_BIN}
    COMMAND ${PAYLOAD_TOOL} pack -o ${PAYLOAD_BIN} ${payload_files}
    COMMAND ${PAYLOAD_TOOL} verify ${PAYLOAD_BIN}
    DEPENDS hosttools ${PAYLOAD_TOOL} ${payload_depends}
    COMMENT "Packing the payload"
    VERBATIM)
add_custom_target(payload DEPENDS ${PAYLOAD_BIN})
add_custom_command(OUTPUT ${LICENSE_BIN}
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/append-zero.sh ${CMAKE_SOURCE_DIR}/resources/license.txt ${LICENSE_BIN}
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/license.txt ${CMAKE_SOURCE_DIR}/cmake/append-zero.sh
    VERBATIM)

add_executable(setup WIN32
    window/entry.cpp
    window/main.cpp
    window/dialog.cpp
    window/chooser.cpp
    install/unpack.cpp
    install/shortcut.cpp
    install/sequence.cpp
    resources/setup.rc)
target_include_directories(setup PRIVATE window install resources ${GENERATED_RESOURCES})
set(resource_files banner.bmp browse.bmp setup.ico setup.manifest resource.h)
list(TRANSFORM resource_files PREPEND ${CMAKE_SOURCE_DIR}/resources/)
set_source_files_properties(resources/setup.rc PROPERTIES
    OBJECT_DEPENDS "${PAYLOAD_BIN};${LICENSE_BIN};${resource_files}")
target_link_libraries(setup PRIVATE setupcore comctl32 ole32 shell32 uuid)
target_link_options(setup PRIVATE -nostartfiles -Wl,-e,_WinMainCRTStartup@0)
# The resource section, nearly all payload, starts on a 4 KB boundary in the
# file so that a loader maps it instead of reading it in at start-up.
add_dependencies(setup hosttools)
add_custom_command(TARGET setup POST_BUILD COMMAND ${PEALIGN} $<TARGET_FILE:setup> VERBATIM)
# Signed last: any later change to the file would break the signature.
if(SETUP_SIGN_COMMAND)
    add_custom_command(TARGET setup POST_BUILD COMMAND ${SETUP_SIGN_COMMAND} $<TARGET_FILE:setup> VERBATIM)
endif()
set_property(TARGET setup APPEND PROPERTY LINK_DEPENDS ${SETUP_SIGN_DEPENDS})

add_subdirectory(tests/win)
add_subdirectory(tests/e2e)
add_subdirectory(bench EXCLUDE_FROM_ALL)
