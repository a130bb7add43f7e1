# End-to-end tests: the real set-user-ID binary in a sandbox of real users and PAM.
if(TARGET dorq AND TARGET dorq_harness)
  # A real PAM module that leaves descriptors open in dorq's process.
  add_library(pam_dorq_keepfd MODULE ${CMAKE_CURRENT_LIST_DIR}/pam_keepfd_module.cpp)
  set_target_properties(pam_dorq_keepfd PROPERTIES PREFIX "")
  target_link_libraries(pam_dorq_keepfd PRIVATE dorq_warnings)

  add_executable(e2e_tests ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp)
  target_compile_definitions(e2e_tests PRIVATE DORQ_PAM_KEEPFD="$<TARGET_FILE:pam_dorq_keepfd>")
  target_link_libraries(e2e_tests PRIVATE dorq_harness GTest::gtest_main)
  add_dependencies(e2e_tests dorq dorq_job_probe pam_dorq_keepfd)
  gtest_discover_tests(e2e_tests TEST_PREFIX e2e. DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
