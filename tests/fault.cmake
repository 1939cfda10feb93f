# The library's sources built once more with every allocation routed through
# a countdown of the test's own (KIVREL_FAULT_INJECTION), and libxml2's
# allocator replaced by the same countdown, so that the test can fail the
# Nth allocation of any path. The shipped libkivrel never has the hook.
file(GLOB KIVREL_FAULT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/libkivrel/*.cpp)
set(KIVREL_FAULT_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_test.cpp ${KIVREL_FAULT_SOURCES})
# A failing plain calloc (libxml2 makes its per-thread block with it) needs
# calloc itself replaced, which a sanitizer's own allocator does not allow.
set(KIVREL_FAULT_DEFINITIONS KIVREL_FAULT_INJECTION)
if(NOT KIVREL_SANITIZE)
  list(APPEND KIVREL_FAULT_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_malloc.c)
  list(APPEND KIVREL_FAULT_DEFINITIONS KIVREL_FAULT_PLAIN_CALLOC)
endif()
add_executable(fault_test ${KIVREL_FAULT_TEST_SOURCES})
target_compile_definitions(fault_test PRIVATE ${KIVREL_FAULT_DEFINITIONS})
target_include_directories(fault_test PRIVATE ${PROJECT_SOURCE_DIR}/libkivrel ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(fault_test PRIVATE LibXml2::LibXml2 GTest::gtest Threads::Threads)
add_test(NAME EveryFailedAllocationGivesTheExactResultOrAReportedFailure COMMAND fault_test)
set_tests_properties(EveryFailedAllocationGivesTheExactResultOrAReportedFailure
  PROPERTIES LABELS lib TIMEOUT 300)
