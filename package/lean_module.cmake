# Makes the module that ships: OUT_DIR/Tarnwick.dll without debug information, linked (by name and
# checksum) to OUT_DIR/Tarnwick.dll.debug that keeps it, for reading crash reports. Fails when the
# result still carries debug sections or imports a DLL that Windows does not bring itself (a
# mingw run-time DLL would make the mail client fail to load it).
# Usage: cmake -DMODULE=<built dll> -DOUT_DIR=<folder> -DOBJCOPY=<objcopy> -DOBJDUMP=<objdump> -P lean_module.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${OUT_DIR} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Failed: ${ARGN}")
  endif()
endfunction()

file(MAKE_DIRECTORY ${OUT_DIR})
set(lean ${OUT_DIR}/Tarnwick.dll.tmp)
run(${OBJCOPY} --only-keep-debug ${MODULE} ${OUT_DIR}/Tarnwick.dll.debug)
run(${OBJCOPY} --strip-all ${MODULE} ${lean})
# The link names the file without a folder: a debugger looks for it beside the module.
run(${OBJCOPY} --add-gnu-debuglink=Tarnwick.dll.debug ${lean})

execute_process(COMMAND ${OBJDUMP} -p -h ${lean} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${lean}")
endif()

if(dump MATCHES "[ \t]\\.debug_[a-z_]+")
  message(FATAL_ERROR "${lean} still carries debug information (${CMAKE_MATCH_0})")
endif()
if(NOT dump MATCHES "[ \t]\\.gnu_debuglink[ \t]")
  message(FATAL_ERROR "${lean} has no link to its debug information")
endif()

# DLLs of every Windows since 7; anything else must not appear without a reason.
set(system_dlls advapi32.dll bcrypt.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll
                shell32.dll shlwapi.dll user32.dll version.dll ws2_32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "No imports found in ${lean}: objdump's output was not understood")
endif()
foreach(line IN LISTS imports)
  string(REGEX REPLACE "DLL Name: ([^ \t\r]+).*" "\\1" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${lean} imports ${dll}, which Windows does not provide")
  endif()
endforeach()

file(RENAME ${lean} ${OUT_DIR}/Tarnwick.dll)
