# The panel's dialog and its one-shot commands, against the simulator run
# in-process on ports of the test's own. The panel starts on its built-in
# address, so the test exists only in a loopback build.
if(TARGET skarvel_ui AND TARGET robotsim_core AND SKARVEL_DEFAULT_ROBOT_ADDRESS STREQUAL "127.0.0.1")
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  add_executable(panel_test panel_test.cpp qt_gtest_main.cpp)
  target_link_libraries(panel_test PRIVATE skarvel_ui robotsim_core Qt6::Test GTest::gtest)
  target_compile_definitions(panel_test PRIVATE
    SKARVEL_DEFAULT_ROBOT_ADDRESS="${SKARVEL_DEFAULT_ROBOT_ADDRESS}")
  # The label (an app test, found by -L app) lets scripts/test run it again
  # beside a simulator on the robot's own ports.
  gtest_discover_tests(panel_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS app_robot_ports TIMEOUT 120
      ENVIRONMENT QT_QPA_PLATFORM=offscreen)

  # Draws the panel as it opens into a PNG (scripts/screenshot).
  add_executable(panel_snapshot panel_snapshot.cpp)
  target_link_libraries(panel_snapshot PRIVATE skarvel_ui)
endif()
