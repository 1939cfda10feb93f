# The panel's worker threads, Enable toggles and drive control, live against
# the simulator run in-process on ports of the test's own. The panel starts
# on its built-in address, so the test exists only in a loopback build.
if(TARGET skarvel_ui AND TARGET robotsim_core AND SKARVEL_DEFAULT_ROBOT_ADDRESS STREQUAL "127.0.0.1")
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  add_executable(panel_live_test panel_live_test.cpp qt_gtest_main.cpp)
  target_link_libraries(panel_live_test PRIVATE skarvel_ui robotsim_core Qt6::Test GTest::gtest)
  target_compile_definitions(panel_live_test PRIVATE
    SKARVEL_DEFAULT_ROBOT_ADDRESS="${SKARVEL_DEFAULT_ROBOT_ADDRESS}")
  # The label (an app test, found by -L app) lets scripts/test run it again
  # beside a simulator on the robot's own ports.
  gtest_discover_tests(panel_live_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS app_robot_ports TIMEOUT 300
      ENVIRONMENT QT_QPA_PLATFORM=offscreen)

  # Figures for the panel under its heaviest load (scripts/bench_panel).
  add_executable(panel_bench ${PROJECT_SOURCE_DIR}/bench/bench_panel.cpp)
  target_link_libraries(panel_bench PRIVATE skarvel_ui robotsim_core Qt6::Test)
endif()
