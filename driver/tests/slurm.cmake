# The Slurm client layer: unit tests, and an integration test against a private single-node
# cluster that a CTest fixture starts in a temporary folder and stops, pass or fail.
add_suite_test(driver_slurm_test tests/slurm_errors_test.cpp tests/slurm_records_test.cpp
               tests/slurm_script_test.cpp tests/slurm_test.cpp)
if(TARGET driver_slurm_test)
  target_link_libraries(driver_slurm_test PRIVATE ks_driver)
  target_compile_definitions(driver_slurm_test PRIVATE
    KS_SLURM_RECORDS="${CMAKE_CURRENT_SOURCE_DIR}/tests/scontrol")

  add_executable(driver_slurm_cluster_test tests/slurm_cluster_test.cpp tests/slurm_sweep_test.cpp
                                           tests/slurm_faults_test.cpp)
  target_compile_options(driver_slurm_cluster_test PRIVATE -O2)
  target_link_libraries(driver_slurm_cluster_test PRIVATE ks_driver GTest::gtest SQLite::SQLite3)
  add_dependencies(driver_slurm_cluster_test kernelscope)
  set_target_properties(driver_slurm_cluster_test PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(driver_slurm_cluster_test PRIVATE
    KS_SLURM_CLUSTER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/slurm-cluster"
    KS_KERNELSCOPE="$<TARGET_FILE:kernelscope>"
    KS_DRIVER_FAKES="${CMAKE_CURRENT_SOURCE_DIR}/tests/fakes")

  # The file that names the cluster's temporary folder, from start to stop.
  set(ks_slurm_state ${CMAKE_BINARY_DIR}/Testing/Temporary/slurm-cluster.dir)
  set(ks_slurm_fixture ${CMAKE_CURRENT_SOURCE_DIR}/tests/slurm-fixture)
  add_test(NAME slurm_cluster_start COMMAND ${ks_slurm_fixture} start ${ks_slurm_state})
  add_test(NAME slurm_cluster_stop COMMAND ${ks_slurm_fixture} stop ${ks_slurm_state})
  set_tests_properties(slurm_cluster_start PROPERTIES
    FIXTURES_SETUP slurm_cluster TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS cluster)
  set_tests_properties(slurm_cluster_stop PROPERTIES
    FIXTURES_CLEANUP slurm_cluster TIMEOUT 120 LABELS cluster)

  # One cluster of three nodes shared by five groups of tests. Each group locks the nodes it
  # uses, so that the time limit (about 90 s on n3) runs beside the basics and the faults (on n1
  # and n2); DEPENDS gives the order that keeps the whole label short with two tests at once.
  # Skipped (77) only when Slurm's commands are not installed. Labelled "cluster": only the ci
  # test preset runs them (about two and a half minutes); the clang and asan presets leave
  # them out.
  # name | gtest filter | nodes locked | tests it follows
  set(ks_slurm_groups
    "slurm_cluster_nodes|SlurmNodes.*|slurm_n1,slurm_n2,slurm_n3|"
    "slurm_cluster_timeout|SlurmTimeout.*|slurm_n3|slurm_cluster_nodes"
    "slurm_cluster_basics|SlurmCluster.*:SlurmSweep.*|slurm_n1,slurm_n2|slurm_cluster_nodes"
    "slurm_cluster_faults|SlurmFaults.*|slurm_n1,slurm_n2|slurm_cluster_basics"
    "slurm_cluster_restart|SlurmRestart.*|slurm_n1,slurm_n2,slurm_n3|slurm_cluster_timeout,slurm_cluster_faults")
  foreach(group IN LISTS ks_slurm_groups)
    string(REPLACE "|" ";" fields "${group}")
    list(GET fields 0 name)
    list(GET fields 1 filter)
    list(GET fields 2 locks)
    list(GET fields 3 after)
    string(REPLACE "," ";" locks "${locks}")
    string(REPLACE "," ";" after "${after}")
    add_test(NAME ${name} COMMAND driver_slurm_cluster_test --gtest_filter=${filter})
    set_tests_properties(${name} PROPERTIES
      FIXTURES_REQUIRED slurm_cluster RESOURCE_LOCK "${locks}" TIMEOUT 300 SKIP_RETURN_CODE 77
      ENVIRONMENT KS_SLURM_CLUSTER_STATE=${ks_slurm_state} LABELS cluster)
    if(after)
      set_tests_properties(${name} PROPERTIES DEPENDS "${after}")
    endif()
  endforeach()
endif()
