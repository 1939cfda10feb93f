# The status lamp and the panel's pictures, drawn on Qt's offscreen platform.
if(TARGET skarvel_ui)
  # Qt's imported targets are visible only where Qt was found.
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  add_executable(lamp_test lamp_test.cpp qt_gtest_main.cpp)
  target_link_libraries(lamp_test PRIVATE skarvel_ui Qt6::Test GTest::gtest Threads::Threads)
  gtest_discover_tests(lamp_test DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen LABELS app TIMEOUT 120)
endif()
