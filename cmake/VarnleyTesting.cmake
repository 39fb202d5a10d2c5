# Helpers for the test programs: one small GoogleTest program per unit.
find_package(GTest REQUIRED)

# varnley_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [WIDGETS])
#   Labels: "thread" marks engine tests that also run under ThreadSanitizer.
function(varnley_test)
  cmake_parse_arguments(T "WIDGETS" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;FIXTURES" ${ARGN})
  if(T_WIDGETS AND NOT VARNLEY_WIDGETS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_WIDGETS)
    target_link_libraries(${T_NAME} PRIVATE varnley_widgets Qt6::Test)
  endif()
  target_link_libraries(${T_NAME} PRIVATE varnley_engine GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  varnley_warnings(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  if(T_WIDGETS)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
  if(T_FIXTURES)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()

# A real SMTP server (aiosmtpd under Debian's own interpreter) on a free loopback port, started
# and stopped around the tests that name FIXTURE. Each fixture has its own folder, so tests of
# different fixtures never see each other's mail. The tests find it through
# VARNLEY_SMTP_SERVER_DIR (see varnley_smtp_server_env). With TLS, the server also has its TLS
# listeners and a throw-away CA (see aiosmtpd_server.py).
function(varnley_smtp_server_fixture fixture)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${fixture})
  set(script ${CMAKE_SOURCE_DIR}/tests/support/aiosmtpd_server.py)
  set(options "")
  if("TLS" IN_LIST ARGN)
    set(options --tls)
  endif()
  add_test(NAME ${fixture}_start COMMAND /usr/bin/python3 ${script} start --dir ${dir} ${options})
  add_test(NAME ${fixture}_stop COMMAND /usr/bin/python3 ${script} stop --dir ${dir})
  set_tests_properties(${fixture}_start PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 60)
  set_tests_properties(${fixture}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 60)
  set_property(GLOBAL PROPERTY VARNLEY_FIXTURE_DIR_${fixture} ${dir})
endfunction()

# Points a test at the server of a fixture (keeping the offscreen platform for widget tests).
function(varnley_smtp_server_env test fixture)
  get_property(dir GLOBAL PROPERTY VARNLEY_FIXTURE_DIR_${fixture})
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${fixture}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VARNLEY_SMTP_SERVER_DIR=${dir}")
endfunction()
