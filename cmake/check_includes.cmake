# Fails the build when a source of a layer includes a header by a relative path ("../x.h") or
# from the repository root ("src/x.h"): both get past the include folders that keep each layer
# to what it links. Run by the target tarnwick_include_check with -DROOTS=<folders>.
set(bad "")
foreach(root ${ROOTS})
  file(GLOB_RECURSE sources ${root}/*.h ${root}/*.cpp ${root}/*.c)
  foreach(source ${sources})
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<](\\.\\./|\\./|src/|host/)")
    foreach(line ${lines})
      string(STRIP "${line}" line)
      string(APPEND bad "${source}: ${line}\n")
    endforeach()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "An include runs around the layers; name the header as \"<folder>/x.h\" "
                      "of a layer the target links:\n${bad}")
endif()
