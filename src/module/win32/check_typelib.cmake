# Fails the build when the compiled type library lacks one of the ids it must carry: widl has been
# seen to write a wrong byte into the library's id, which then registers under a wrong key.
# Usage: cmake -DTYPELIB=file -P check_typelib.cmake
set(ids 15D70401-BCED-4B0A-A522-EC8D1AF7ABFA  # library, also the application id
        5E37F7FE-31C0-45EA-B1EC-6DC4BC545A59  # IMailerInterfaceTest
        CC9266AA-EB11-4F5B-8A7F-C99B44425FB3  # _IMailerInterfaceTestEvents
        E77ED5AA-6ADB-4BE2-B83F-C50D0F499AD9) # CMailerInterfaceTest

# The 16 bytes of a GUID as stored: the first three fields little-endian, then the rest in order.
function(stored_bytes guid result)
  string(TOLOWER "${guid}" guid)
  string(REPLACE "-" "" hex "${guid}")
  set(bytes "")
  foreach(field "0;8" "8;4" "12;4")
    list(GET field 0 start)
    list(GET field 1 length)
    math(EXPR last "${start} + ${length} - 2")
    foreach(at RANGE ${last} ${start} -2)
      string(SUBSTRING "${hex}" ${at} 2 byte)
      string(APPEND bytes "${byte}")
    endforeach()
  endforeach()
  string(SUBSTRING "${hex}" 16 16 rest)
  set(${result} "${bytes}${rest}" PARENT_SCOPE)
endfunction()

file(READ "${TYPELIB}" content HEX)
foreach(id ${ids})
  stored_bytes(${id} bytes)
  string(FIND "${content}" "${bytes}" at)
  # A match must start on a byte, not in the middle of one.
  math(EXPR odd "${at} % 2")
  if(at EQUAL -1 OR odd)
    file(REMOVE "${TYPELIB}")  # so that the next build compiles it again
    message(FATAL_ERROR "${TYPELIB} does not carry {${id}}")
  endif()
endforeach()
