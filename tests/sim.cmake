# The robot controller simulator, in-process, over real loopback sockets.
add_executable(sim_test ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp)
target_link_libraries(sim_test PRIVATE robotsim_core kivrel GTest::gmock GTest::gtest_main
  Threads::Threads)
# The label (an app test, found by -L app) lets scripts/test run it again
# beside a simulator on the robot's own ports.
gtest_discover_tests(sim_test DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS app_robot_ports TIMEOUT 120)
