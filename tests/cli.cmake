# The command-line client against a service of the test's own.
add_executable(cli_test cli_test.cpp)
target_link_libraries(cli_test PRIVATE kivrel kivrel_host GTest::gtest_main Threads::Threads)
target_compile_definitions(cli_test PRIVATE KIVREL_CALL_PATH="$<TARGET_FILE:kivrel-call>")
add_dependencies(cli_test kivrel-call)
gtest_discover_tests(cli_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS app TIMEOUT 120)
