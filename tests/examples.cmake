# The programs in examples/, run against their own service and against the
# simulator on free loopback ports.
add_executable(examples_test ${CMAKE_CURRENT_LIST_DIR}/examples_test.cpp)
target_link_libraries(examples_test PRIVATE robotsim_core kivrel GTest::gtest_main Threads::Threads)
target_compile_definitions(examples_test PRIVATE EXAMPLE_DIR="$<TARGET_FILE_DIR:add_service>")
add_dependencies(examples_test add_service add_client robot_status event_loop_client)
gtest_discover_tests(examples_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS app TIMEOUT 120)
