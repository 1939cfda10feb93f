# The robot access layer, against services on ports of its own.
add_executable(proxy_test proxy_test.cpp)
target_link_libraries(proxy_test PRIVATE skarvel_robot GTest::gtest_main)
target_include_directories(proxy_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
# The label (an app test, found by -L app) lets scripts/test run it again
# beside a simulator on the robot's own ports.
gtest_discover_tests(proxy_test DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS app_robot_ports TIMEOUT 120)
