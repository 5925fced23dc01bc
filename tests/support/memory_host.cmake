# The in-memory mail client and temporary folders, free of any test framework: the unit tests
# and the benchmarks both drive the add-in with them.
include_guard(GLOBAL)
set(tarnwick_memory_host_sources ${CMAKE_CURRENT_LIST_DIR}/memory_host.cpp ${CMAKE_CURRENT_LIST_DIR}/memory_host_mailer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory_host_objects.cpp ${CMAKE_CURRENT_LIST_DIR}/temp_dir.cpp)
add_library(tarnwick_memory_host STATIC ${tarnwick_memory_host_sources})
target_include_directories(tarnwick_memory_host PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(tarnwick_memory_host PUBLIC tarnwick_core PRIVATE tarnwick_warnings)
