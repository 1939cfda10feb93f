# Helpers for the Python package's tests (python/tests, run by scripts/test
# with KIVREL_BUILD_DIR pointing here): the exact bytes the library writes
# and reads, and a small service built on the library's server half.
add_executable(wire_dump ${CMAKE_CURRENT_LIST_DIR}/wire_dump.c)
target_link_libraries(wire_dump PRIVATE kivrel)
add_executable(c_echo_service ${CMAKE_CURRENT_LIST_DIR}/c_echo_service.c)
target_link_libraries(c_echo_service PRIVATE kivrel Threads::Threads)
