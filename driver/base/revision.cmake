# Writes the source revision of this build into OUTPUT (a C++ source defining build_revision()),
# run at every build so that a commit or an edit since the last one shows; the file is rewritten
# only when the revision changed, so an unchanged tree recompiles nothing.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... [-DGIT=...] -P revision.cmake
set(revision "unknown")
if(GIT)
  execute_process(
    COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status
    ERROR_QUIET)
  if(status EQUAL 0 AND NOT described STREQUAL "")
    set(revision "${described}")
  endif()
endif()
set(content "// Generated at every build from the source tree's revision.
#include \"driver/base/build_info.h\"

namespace ks::driver {

std::string_view build_revision() { return \"${revision}\"; }

}  // namespace ks::driver
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
else()
  set(previous "")
endif()
if(NOT previous STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
