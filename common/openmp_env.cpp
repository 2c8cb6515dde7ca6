// Linked into every OpenMP program: checks OMP_NUM_THREADS and OMP_SCHEDULE (openmp_env.h)
// before any OpenMP runtime reads them, and before main, so nothing is added to a timed
// interval.
//
// "Before any runtime reads them" decides where the check runs. One runtime reads its
// environment in its own library constructor, which runs before the program's constructors;
// another reads it lazily, at the program's first OpenMP call. The executable's pre-init
// functions run before both: the dynamic loader calls them ahead of every library's
// constructor. At that point the C library has not yet set `environ` or the program name, so
// the check works on the environment block the loader passes in (the very array that becomes
// `environ`): a variable is removed by moving the later entries down, a chunk is dropped by
// ending the string early, and messages go out through write(2).
#include "common/openmp_env.h"

#include <unistd.h>

#include <cstring>
#include <string_view>

namespace {

using ks::openmp_env::schedule_kept_length;
using ks::openmp_env::team_list_is_valid;

constexpr std::string_view kTeamName = "OMP_NUM_THREADS=";
constexpr std::string_view kScheduleName = "OMP_SCHEDULE=";

// A message of bounded length put together without the C library's formatting, which is not
// initialised yet.
class Line {
 public:
  void add(std::string_view text) {
    for (const char c : text) {
      if (used_ < sizeof text_) {
        text_[used_++] = c;
      }
    }
  }
  // A value from the environment: at most 64 bytes, anything but printable ASCII shown as '?'.
  void add_value(std::string_view value) {
    const bool cut = value.size() > 64;
    for (const char c : value.substr(0, 64)) {
      const char shown = c >= ' ' && c <= '~' ? c : '?';
      add(std::string_view(&shown, 1));
    }
    if (cut) {
      add("...");
    }
  }
  void write_out() {
    text_[sizeof text_ - 1] = '\n';  // a line cut at the buffer's end still ends its line
    const std::size_t length = used_ < sizeof text_ ? used_ : sizeof text_;
    (void)!write(STDERR_FILENO, text_, length);
  }

 private:
  char text_[512] = {};
  std::size_t used_ = 0;
};

std::string_view program_name(int argc, char** argv) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    return "";
  }
  const char* slash = std::strrchr(argv[0], '/');
  return slash != nullptr ? slash + 1 : argv[0];
}

bool starts_with(const char* entry, std::string_view prefix) {
  return std::strncmp(entry, prefix.data(), prefix.size()) == 0;
}

// Removes every entry that starts with `prefix` from the null-terminated block.
void remove_all(char** envp, std::string_view prefix) {
  char** out = envp;
  for (char** in = envp; *in != nullptr; ++in) {
    if (!starts_with(*in, prefix)) {
      *out++ = *in;
    }
  }
  *out = nullptr;
}

// Only the first entry of a name counts: it is the one a runtime's lookup finds.
char* first_entry(char** envp, std::string_view prefix) {
  for (char** e = envp; *e != nullptr; ++e) {
    if (starts_with(*e, prefix)) {
      return *e;
    }
  }
  return nullptr;
}

void check_openmp_environment(int argc, char** argv, char** envp) {
  if (envp == nullptr) {
    return;
  }
  const std::string_view name = program_name(argc, argv);

  if (const char* entry = first_entry(envp, kTeamName); entry != nullptr) {
    const std::string_view value(entry + kTeamName.size());
    if (!team_list_is_valid(value)) {
      Line line;
      line.add(name);
      line.add(": OMP_NUM_THREADS=\"");
      line.add_value(value);
      line.add(
          "\" no es una lista de enteros positivos; se ignora y el equipo es el predeterminado\n");
      line.write_out();
      remove_all(envp, kTeamName);
    }
  }

  if (char* entry = first_entry(envp, kScheduleName); entry != nullptr) {
    char* value = entry + kScheduleName.size();
    const std::size_t kept = schedule_kept_length(value);
    if (kept > 0) {
      Line line;
      line.add(name);
      line.add(": OMP_SCHEDULE=\"");
      line.add_value(value);
      line.add("\" lleva un chunk menor que 1; se usa \"");
      line.add_value(std::string_view(value, kept));
      line.add("\" con el chunk predeterminado\n");
      line.write_out();
      value[kept] = '\0';
    }
  }
}

// The loader calls it with the program's argc, argv and environment block.
using PreInit = void (*)(int, char**, char**);
[[gnu::used, gnu::section(".preinit_array")]] const PreInit kAtStart = check_openmp_environment;

}  // namespace
