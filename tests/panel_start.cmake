# The panel's command line and its start address. The dialog calls the
# robot at the addresses the test gives, all on loopback.
if(TARGET skarvel_ui AND SKARVEL_DEFAULT_ROBOT_ADDRESS STREQUAL "127.0.0.1")
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_executable(panel_start_test panel_start_test.cpp qt_gtest_main.cpp)
  target_link_libraries(panel_start_test PRIVATE skarvel_ui GTest::gtest)
  target_compile_definitions(panel_start_test PRIVATE
    SKARVEL_DEFAULT_ROBOT_ADDRESS="${SKARVEL_DEFAULT_ROBOT_ADDRESS}")
  gtest_discover_tests(panel_start_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS app TIMEOUT 120 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
