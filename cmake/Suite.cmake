# add_suite_program(<name> SOURCE <file> [OPENMP] [OPT <level>] [DEFINES <d>...])
#
# Adds one deliverable: an executable named exactly <name>, built from one source, at -O2
# unless OPT gives another level (O0, O1, O2, O3, Os), linked with the shared helpers and,
# with OPENMP, with the OpenMP runtime and the check of its environment (common/openmp_env.h).
function(add_suite_program name)
  cmake_parse_arguments(P "OPENMP" "SOURCE;OPT" "DEFINES" ${ARGN})
  if(NOT P_SOURCE)
    message(FATAL_ERROR "add_suite_program(${name}): SOURCE is required")
  endif()
  if(NOT P_OPT)
    set(P_OPT O2)
  endif()
  add_executable(${name} ${P_SOURCE})
  target_compile_options(${name} PRIVATE -${P_OPT})
  target_compile_definitions(${name} PRIVATE ${P_DEFINES})
  target_link_libraries(${name} PRIVATE ks_common)
  if(P_OPENMP)
    target_link_libraries(${name} PRIVATE OpenMP::OpenMP_CXX ks_openmp_env)
  endif()
  set_property(GLOBAL APPEND PROPERTY KS_PROGRAMS ${name})
endfunction()

# The temporary folder of the tests: every test runs with TMPDIR there (GoogleTest's TempDir()
# follows it), and the last test fails when anything is left in it.
set(KS_TEST_TMPDIR ${CMAKE_BINARY_DIR}/test-tmp)

# add_suite_test(<name> <sources>...)
#
# Adds a GoogleTest executable that runs built programs through the spawn helper. The test
# binary knows where the programs are (KS_BIN_DIR) and is registered with CTest test by test,
# each with its temporary files in KS_TEST_TMPDIR.
# The tests' own level: they time nothing, so the sanitizer build lowers it (KS_TEST_OPT -O0),
# as it lowers the driver's, for a shorter build.
set(KS_TEST_OPT "-O2" CACHE STRING "Optimisation level of the test programs")
function(add_suite_test name)
  if(NOT KS_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/test_main.cpp)
  target_compile_options(${name} PRIVATE ${KS_TEST_OPT})
  target_link_libraries(${name} PRIVATE ks_testsupport GTest::gtest)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set_property(GLOBAL APPEND PROPERTY KS_TESTS ${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300
                       ENVIRONMENT "TMPDIR=${KS_TEST_TMPDIR}" FIXTURES_REQUIRED ks_test_tmp)
endfunction()

# The guard of the temporary folder: made empty before the first test, and checked empty after
# the last (it names what a test left behind, and fails).
function(add_test_tmp_guard)
  if(NOT KS_BUILD_TESTS)
    return()
  endif()
  set(script ${PROJECT_SOURCE_DIR}/cmake/TestTmp.cmake)
  add_test(NAME test_tmp_made COMMAND ${CMAKE_COMMAND} -DDIR=${KS_TEST_TMPDIR} -DSTEP=make -P
                                      ${script})
  add_test(NAME test_tmp_left_empty COMMAND ${CMAKE_COMMAND} -DDIR=${KS_TEST_TMPDIR} -DSTEP=check
                                            -P ${script})
  set_tests_properties(test_tmp_made PROPERTIES FIXTURES_SETUP ks_test_tmp)
  set_tests_properties(test_tmp_left_empty PROPERTIES FIXTURES_CLEANUP ks_test_tmp)
endfunction()
