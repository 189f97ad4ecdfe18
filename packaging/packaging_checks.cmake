# The dashboard and the alert rules under packaging/: every query names a metric
# the update-server of this build exports, and promtool (Debian's prometheus,
# which scripts/install-deps.sh installs) accepts the rules and passes their test.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(AUTOUPDATE_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

add_test(NAME packaging.metric_names
  COMMAND ${Python3_EXECUTABLE} ${AUTOUPDATE_PACKAGING_DIR}/check_metric_names.py
          --dashboard ${AUTOUPDATE_PACKAGING_DIR}/update-server-dashboard.json
          --rules ${AUTOUPDATE_PACKAGING_DIR}/update-server-alerts.yml
          --update-server $<TARGET_FILE:update-server> --make-package $<TARGET_FILE:make-package>)
add_test(NAME packaging.metric_names_reader
  COMMAND ${Python3_EXECUTABLE} -m unittest -v check_metric_names_test
  WORKING_DIRECTORY ${AUTOUPDATE_PACKAGING_DIR})

find_program(AUTOUPDATE_PROMTOOL promtool)
if(AUTOUPDATE_PROMTOOL)
  add_test(NAME packaging.alert_rules_check
    COMMAND ${AUTOUPDATE_PROMTOOL} check rules ${AUTOUPDATE_PACKAGING_DIR}/update-server-alerts.yml)
  add_test(NAME packaging.alert_rules_test
    COMMAND ${AUTOUPDATE_PROMTOOL} test rules ${AUTOUPDATE_PACKAGING_DIR}/update-server-alerts-test.yml)
else()
  # Without promtool both fail with a line that says why, rather than "not run".
  foreach(name alert_rules_check alert_rules_test)
    add_test(NAME packaging.${name} COMMAND ${CMAKE_COMMAND} -E echo
             "promtool not found: scripts/install-deps.sh installs it (Debian package prometheus)")
    set_tests_properties(packaging.${name} PROPERTIES FAIL_REGULAR_EXPRESSION "promtool not found")
  endforeach()
endif()

set_tests_properties(packaging.metric_names packaging.metric_names_reader
                     packaging.alert_rules_check packaging.alert_rules_test PROPERTIES
  LABELS packaging TIMEOUT 60 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
