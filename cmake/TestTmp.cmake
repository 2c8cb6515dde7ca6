# The tests' temporary folder (cmake -DDIR=... -DSTEP=make|check -P TestTmp.cmake): made
# empty before the tests, and after them required to be empty again: a test removes what it
# made, pass or fail.
if(STEP STREQUAL "make")
  file(REMOVE_RECURSE "${DIR}")
  file(MAKE_DIRECTORY "${DIR}")
elseif(STEP STREQUAL "check")
  file(GLOB left LIST_DIRECTORIES true RELATIVE "${DIR}" "${DIR}/*" "${DIR}/.*")
  list(REMOVE_ITEM left "." "..")
  if(left)
    list(LENGTH left count)
    list(JOIN left ", " names)
    message(FATAL_ERROR "the tests left ${count} files in ${DIR}: ${names}")
  endif()
  message(STATUS "the tests left nothing in ${DIR}")
else()
  message(FATAL_ERROR "STEP must be make or check")
endif()
