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

# add_suite_test(<name> <sources>...)
#
# Adds a GoogleTest executable that runs built programs through the spawn helper. The test
# binary knows where the programs are (KS_BIN_DIR) and is registered with CTest test by test.
function(add_suite_test name)
  if(NOT KS_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -O2)
  target_link_libraries(${name} PRIVATE ks_testsupport GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set_property(GLOBAL APPEND PROPERTY KS_TESTS ${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300)
endfunction()
