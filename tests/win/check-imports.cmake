# check-imports.cmake - fails when a Windows image imports a DLL outside the list
cmake_policy(SET CMP0057 NEW)
#   cmake -DOBJDUMP=... -DIMAGE=... "-DALLOWED=KERNEL32.dll;USER32.dll" -P check-imports.cmake
# Names compare case-insensitively, as Windows compares them.

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump could not read ${IMAGE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
if(NOT lines)
    message(FATAL_ERROR "${IMAGE} lists no imported DLLs at all")
endif()
string(TOLOWER "${ALLOWED}" allowed)
foreach(line IN LISTS lines)
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST allowed)
        message(FATAL_ERROR "${IMAGE} imports ${dll}, which is not a Windows system DLL of the allowed list")
    endif()
    message(STATUS "${IMAGE}: ${dll}")
endforeach()
