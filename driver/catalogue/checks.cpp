#include "driver/catalogue/checks.h"

#include "common/count_arg.h"
#include "textmatch/output_match.h"

namespace ks::driver {

std::optional<std::string> process_failure(const ks::RunResult& r) {
  if (r.ok()) {
    return std::nullopt;
  }
  std::string why = r.describe();
  if (r.started && !r.err.empty()) {
    why += ": " + ks::visible(r.err);
  }
  return why;
}

std::uint32_t unsigned_arg(const RunSpec& spec, std::size_t i) {
  return i < spec.args.size() ? ks::count_arg(spec.args[i].c_str()).u : 0;
}

std::int32_t signed_arg(const RunSpec& spec, std::size_t i) {
  return i < spec.args.size() ? ks::count_arg(spec.args[i].c_str()).s : 0;
}

}  // namespace ks::driver
