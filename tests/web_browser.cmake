# skarvel-web's page in a real browser: Debian's chromium, headless, driven
# by puppeteer-core from web/tests/node_modules (scripts/deps runs npm ci
# there), against robot-sim and the server on ports of the test's own.
if(TARGET skarvel-web)
  find_program(KIVREL_NODE node REQUIRED)
  add_test(NAME WebPageInBrowser
    COMMAND ${KIVREL_NODE} --test ${PROJECT_SOURCE_DIR}/web/tests/browser.test.mjs)
  set_tests_properties(WebPageInBrowser PROPERTIES LABELS web TIMEOUT 300
    ENVIRONMENT "SKARVEL_WEB=$<TARGET_FILE:skarvel-web>;ROBOT_SIM=$<TARGET_FILE:robot-sim>;KIVREL_CALL=$<TARGET_FILE:kivrel-call>")
endif()
