# update-server and make-package driven as programs: the test builds packages
# with the real make-package and serves them with the real update-server on
# 127.0.0.1 (ephemeral ports).
find_package(Threads REQUIRED)
add_executable(server_load_test ${CMAKE_CURRENT_LIST_DIR}/server_load_test.cpp)
target_link_libraries(server_load_test PRIVATE autoupdate_tools_common GTest::gtest GTest::gtest_main Threads::Threads)
target_compile_definitions(server_load_test PRIVATE
  UPDATE_SERVER_BIN="$<TARGET_FILE:update-server>"
  MAKE_PACKAGE_BIN="$<TARGET_FILE:make-package>")
add_dependencies(server_load_test update-server make-package)
gtest_discover_tests(server_load_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e TIMEOUT 300)

add_executable(server_robustness_test ${CMAKE_CURRENT_LIST_DIR}/server_robustness_test.cpp)
target_include_directories(server_robustness_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(server_robustness_test PRIVATE autoupdate_tools_common GTest::gtest GTest::gtest_main)
target_compile_definitions(server_robustness_test PRIVATE
  UPDATE_SERVER_BIN="$<TARGET_FILE:update-server>"
  MAKE_PACKAGE_BIN="$<TARGET_FILE:make-package>")
add_dependencies(server_robustness_test update-server make-package)
gtest_discover_tests(server_robustness_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e TIMEOUT 120)

# The systemd unit under packaging/ runs the update-server of this build.
add_test(NAME e2e.systemd_unit
  COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/check_unit.sh ${PROJECT_SOURCE_DIR}/packaging/update-server.service
          $<TARGET_FILE:update-server>)
set_tests_properties(e2e.systemd_unit PROPERTIES LABELS e2e TIMEOUT 60)
