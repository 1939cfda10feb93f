# skarvel-web's server against the simulator in-process, on a port base of
# the test's own.
if(TARGET skarvel_web AND TARGET robotsim_core)
  find_package(Qt6 REQUIRED COMPONENTS Test WebSockets)
  add_executable(web_test web_test.cpp)
  target_link_libraries(web_test PRIVATE skarvel_web robotsim_core Qt6::Test Qt6::WebSockets
    GTest::gtest)
  target_include_directories(web_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(web_test PRIVATE SKARVEL_WEB_PATH="$<TARGET_FILE:skarvel-web>")
  add_dependencies(web_test skarvel-web)
  gtest_discover_tests(web_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS app TIMEOUT 120)
endif()
