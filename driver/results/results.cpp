#include "driver/results/results.h"

#include <fmt/format.h>

#include "driver/base/text.h"

namespace ks::driver {

RunSpec Config::spec() const {
  RunSpec s;
  s.args = args ? *args : program_args(*program, size, chunk);
  s.threads = threads;
  s.schedule = schedule;
  s.bind = bind;
  s.places = places;
  return s;
}

std::optional<std::uint64_t> Config::effective_size() const {
  if (!size) {
    return std::nullopt;
  }
  return ks::driver::effective_size(*program, *size);
}

std::string Config::label() const {
  std::string s(program->name);
  if (args) {
    for (const std::string& a : *args) {
      s += " " + a;
    }
  }
  if (size) {
    s += fmt::format(
        " {}={}",
        program->arg == ArgKind::kCount || program->arg == ArgKind::kCountChunk ? "n" : "N",
        size_label(*size));
  }
  if (chunk) {
    s += fmt::format(" chunk={}", *chunk);
  }
  if (threads > 0) {
    s += fmt::format(" T={}", threads);
  }
  if (!schedule.empty()) {
    s += " " + schedule;
  }
  return s;
}

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::kValid:
      return "valid";
    case Outcome::kInvalid:
      return "invalid";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kTimeout:
      return "timeout";
    case Outcome::kSkipped:
      return "skipped";
  }
  return "?";
}

}  // namespace ks::driver
