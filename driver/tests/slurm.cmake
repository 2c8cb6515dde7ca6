# The Slurm client layer: unit tests, and an integration test against a private single-node
# cluster that a CTest fixture starts in a temporary folder and stops, pass or fail.
add_suite_test(driver_slurm_test tests/slurm_errors_test.cpp tests/slurm_records_test.cpp
               tests/slurm_script_test.cpp tests/slurm_test.cpp)
if(TARGET driver_slurm_test)
  target_link_libraries(driver_slurm_test PRIVATE ks_driver)
  target_compile_definitions(driver_slurm_test PRIVATE
    KS_SLURM_RECORDS="${CMAKE_CURRENT_SOURCE_DIR}/tests/scontrol")

  add_executable(driver_slurm_cluster_test tests/slurm_cluster_test.cpp)
  target_compile_options(driver_slurm_cluster_test PRIVATE -O2)
  target_link_libraries(driver_slurm_cluster_test PRIVATE ks_driver GTest::gtest)
  set_target_properties(driver_slurm_cluster_test PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(driver_slurm_cluster_test PRIVATE
    KS_SLURM_CLUSTER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/slurm-cluster")

  # The file that names the cluster's temporary folder, from start to stop.
  set(ks_slurm_state ${CMAKE_BINARY_DIR}/Testing/Temporary/slurm-cluster.dir)
  set(ks_slurm_fixture ${CMAKE_CURRENT_SOURCE_DIR}/tests/slurm-fixture)
  add_test(NAME slurm_cluster_start COMMAND ${ks_slurm_fixture} start ${ks_slurm_state})
  add_test(NAME slurm_cluster_test COMMAND driver_slurm_cluster_test)
  add_test(NAME slurm_cluster_stop COMMAND ${ks_slurm_fixture} stop ${ks_slurm_state})
  # One cluster at a time on the machine's two cores; skipped (77) only when Slurm's commands
  # are not installed. Labelled "cluster": only the ci test preset runs them (about 90 s); the
  # clang and asan presets leave them out.
  set_tests_properties(slurm_cluster_start PROPERTIES
    FIXTURES_SETUP slurm_cluster RESOURCE_LOCK slurm_cluster TIMEOUT 120 SKIP_RETURN_CODE 77
    LABELS cluster)
  set_tests_properties(slurm_cluster_test PROPERTIES
    FIXTURES_REQUIRED slurm_cluster RESOURCE_LOCK slurm_cluster TIMEOUT 400 SKIP_RETURN_CODE 77
    ENVIRONMENT KS_SLURM_CLUSTER_STATE=${ks_slurm_state} LABELS cluster)
  set_tests_properties(slurm_cluster_stop PROPERTIES
    FIXTURES_CLEANUP slurm_cluster RESOURCE_LOCK slurm_cluster TIMEOUT 120 LABELS cluster)
endif()
