# The Slurm client layer's unit tests.
add_suite_test(driver_slurm_test tests/slurm_test.cpp)
if(TARGET driver_slurm_test)
  target_link_libraries(driver_slurm_test PRIVATE ks_driver)
  target_compile_definitions(driver_slurm_test PRIVATE
    KS_SLURM_RECORDS="${CMAKE_CURRENT_SOURCE_DIR}/tests/scontrol")
endif()
