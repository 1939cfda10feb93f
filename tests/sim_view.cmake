# The simulator's room view on Qt's offscreen platform; no ports.
if(TARGET robotsim_view)
  add_executable(sim_view_test sim_view_test.cpp qt_gtest_main.cpp)
  target_link_libraries(sim_view_test PRIVATE robotsim_view GTest::gtest)
  gtest_discover_tests(sim_view_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS app TIMEOUT 120 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
