// JSON read from outside (a ceilings file, a store's machine context, cluster.json, the probe's
// output) is data: parsed with a bound on its nesting, so that a hostile file cannot exhaust
// the stack of the code that copies, compares or prints the value.
#pragma once

#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ks::driver {

// Deeper than any JSON the driver or the probe writes (a handful of levels) by far.
inline constexpr int kMaxJsonDepth = 64;

// Too deeply nested: "nested deeper than 64 levels".
class JsonTooDeep : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses `text`; throws JsonTooDeep past `max_depth` levels of arrays and objects, and
// nlohmann::json::parse_error when it is not JSON.
nlohmann::json parse_json(std::string_view text, int max_depth = kMaxJsonDepth);

}  // namespace ks::driver
