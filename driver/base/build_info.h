// How the suite was built: filled in by the build system for the programs of this build.
#pragma once

#include <span>
#include <string_view>

namespace ks::driver {

struct BuiltProgram {
  std::string_view name;
  std::string_view options;  // compile options of its target
  bool openmp;               // linked with the OpenMP runtime
  // The OpenMP runtime it is linked with ("GCC's OpenMP runtime, libgomp (/path)") and that
  // runtime's version; both empty without OpenMP.
  std::string_view openmp_runtime;
  std::string_view openmp_runtime_version;
};

std::span<const BuiltProgram> built_programs();
std::span<const std::string_view> build_families();  // the program folders this build takes
std::string_view build_compiler();                   // "GNU 12.2.0"
std::string_view build_source_dir();                 // the source tree the build came from
std::string_view build_type();
std::string_view build_version();   // the project's version, "0.1.0"
std::string_view build_revision();  // git describe of the source tree at build time, or "unknown"

}  // namespace ks::driver
