# The programs as a user runs them: kivrel-call against services of the
# test's own, robot-sim's options and signals, Skarvel's command line and
# every program's --version. Ports are the system's free ones.
add_executable(cli_test cli_test.cpp)
target_link_libraries(cli_test PRIVATE kivrel kivrel_host skarvel_robot GTest::gtest_main
  Threads::Threads)
target_compile_definitions(cli_test PRIVATE
  KIVREL_CALL_PATH="$<TARGET_FILE:kivrel-call>"
  ROBOT_SIM_PATH="$<TARGET_FILE:robot-sim>"
  KIVREL_PROJECT_VERSION="${PROJECT_VERSION}")
add_dependencies(cli_test kivrel-call robot-sim)
if(TARGET Skarvel)
  target_compile_definitions(cli_test PRIVATE SKARVEL_PATH="$<TARGET_FILE:Skarvel>")
  add_dependencies(cli_test Skarvel)
endif()
gtest_discover_tests(cli_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS app TIMEOUT 300)
